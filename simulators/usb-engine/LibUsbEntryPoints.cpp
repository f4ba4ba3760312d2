// SPDX-License-Identifier: MIT
// The libusb-1.0 entry points the vendor host libraries import, with the
// prototypes and record layouts of libusb's published header, presenting the
// boards on the emulated bus. Built as a library with libusb's own soname, so
// a loader searching the directory first hands it to the host library
// instead of the system's libusb.

#include "UsbEngine.h"

// The header declares the entry points with no visibility of their own; this
// library is built with hidden visibility, so give them back the default one.
#pragma GCC visibility push(default)
#include <libusb-1.0/libusb.h>
#pragma GCC visibility pop

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

struct libusb_context {
    int unused = 0;
};

namespace veltrano::sim::usb {
namespace {

// One configuration with one interface, whose alternate settings the board
// names; the bulk endpoints belong to its streaming setting.
struct ConfigurationRecord {
    libusb_config_descriptor configuration;
    libusb_interface interface;
    std::vector<libusb_interface_descriptor> settings;
    std::vector<libusb_endpoint_descriptor> endpoints;
};

libusb_endpoint_descriptor bulkEndpoint(unsigned char address, std::uint16_t packetSize)
{
    libusb_endpoint_descriptor endpoint{};
    endpoint.bLength = LIBUSB_DT_ENDPOINT_SIZE;
    endpoint.bDescriptorType = LIBUSB_DT_ENDPOINT;
    endpoint.bEndpointAddress = address;
    endpoint.bmAttributes = LIBUSB_TRANSFER_TYPE_BULK;
    endpoint.wMaxPacketSize = packetSize;
    return endpoint;
}

// libusb's devices belong to the context that listed them, and a handle to
// its device's context; here every context shares one record per board, so a
// handle takes the context of the last listing on the opening thread (host
// libraries list and open on one thread).
thread_local const libusb_context* listingContext = nullptr;

bool onTheBus(libusb_device* device)
{
    const std::vector<libusb_device*> devices = engine().devices();
    return std::find(devices.begin(), devices.end(), device) != devices.end();
}

UsbIdentity identityOf(libusb_device* device)
{
    return engine().withBoard(device, [](const UsbBoardModel& board) { return board.identity(); });
}

} // namespace
} // namespace veltrano::sim::usb

using namespace veltrano::sim::usb;

extern "C" {

int LIBUSB_CALL libusb_init(libusb_context** context)
{
    engine().log(nullptr, "libusb_init");
    if (context != nullptr) {
        *context = new (std::nothrow) libusb_context;
        return *context != nullptr ? LIBUSB_SUCCESS : LIBUSB_ERROR_NO_MEM;
    }
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_exit(libusb_context* context)
{
    engine().log(nullptr, "libusb_exit");
    engine().contextExited(context);
    delete context;
}

const char* LIBUSB_CALL libusb_strerror(int code)
{
    switch (code) {
    case LIBUSB_SUCCESS:
        return "Success";
    case LIBUSB_ERROR_INVALID_PARAM:
        return "Invalid parameter";
    case LIBUSB_ERROR_NO_DEVICE:
        return "No such device (it may have been disconnected)";
    case LIBUSB_ERROR_NOT_FOUND:
        return "Entity not found";
    case LIBUSB_ERROR_BUSY:
        return "Resource busy";
    case LIBUSB_ERROR_PIPE:
        return "Pipe error";
    case LIBUSB_ERROR_NO_MEM:
        return "Insufficient memory";
    case LIBUSB_ERROR_IO:
        return "Input/Output Error";
    case LIBUSB_ERROR_TIMEOUT:
        return "Operation timed out";
    default:
        return "Other error";
    }
}

const char* LIBUSB_CALL libusb_error_name(int code)
{
    switch (code) {
    case LIBUSB_SUCCESS:
        return "LIBUSB_SUCCESS";
    case LIBUSB_ERROR_IO:
        return "LIBUSB_ERROR_IO";
    case LIBUSB_ERROR_INVALID_PARAM:
        return "LIBUSB_ERROR_INVALID_PARAM";
    case LIBUSB_ERROR_NO_DEVICE:
        return "LIBUSB_ERROR_NO_DEVICE";
    case LIBUSB_ERROR_NOT_FOUND:
        return "LIBUSB_ERROR_NOT_FOUND";
    case LIBUSB_ERROR_BUSY:
        return "LIBUSB_ERROR_BUSY";
    case LIBUSB_ERROR_TIMEOUT:
        return "LIBUSB_ERROR_TIMEOUT";
    case LIBUSB_ERROR_PIPE:
        return "LIBUSB_ERROR_PIPE";
    case LIBUSB_ERROR_NO_MEM:
        return "LIBUSB_ERROR_NO_MEM";
    default:
        return "LIBUSB_ERROR_OTHER";
    }
}

const libusb_version* LIBUSB_CALL libusb_get_version(void)
{
    // Host libraries print rc with %s: it must be a string.
    static const libusb_version version{1, 0, 26, 11724, "", "http://libusb.info"};
    return &version;
}

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context* context, libusb_device*** list)
{
    listingContext = context;
    const std::vector<libusb_device*> boards = engine().listDevices();
    auto** devices = static_cast<libusb_device**>(std::calloc(boards.size() + 1, sizeof(libusb_device*)));
    if (list == nullptr || devices == nullptr) {
        std::free(devices);
        return LIBUSB_ERROR_NO_MEM;
    }
    std::copy(boards.begin(), boards.end(), devices);
    *list = devices;
    return static_cast<ssize_t>(boards.size());
}

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device*)
{
    return 1;
}

uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device* device)
{
    return onTheBus(device) ? device->address : 0;
}

int LIBUSB_CALL libusb_get_device_speed(libusb_device* device)
{
    return onTheBus(device) ? identityOf(device).speed : LIBUSB_SPEED_UNKNOWN;
}

void LIBUSB_CALL libusb_free_device_list(libusb_device** list, int)
{
    std::free(list);
}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device* device, libusb_device_descriptor* descriptor)
{
    if (!onTheBus(device) || descriptor == nullptr) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    const UsbIdentity identity = identityOf(device);
    *descriptor = {};
    descriptor->bLength = LIBUSB_DT_DEVICE_SIZE;
    descriptor->bDescriptorType = LIBUSB_DT_DEVICE;
    descriptor->bcdUSB = identity.usbVersion;
    descriptor->bMaxPacketSize0 = identity.maxPacketSize0;
    descriptor->idVendor = identity.vendorId;
    descriptor->idProduct = identity.productId;
    descriptor->bcdDevice = identity.deviceRelease;
    descriptor->iManufacturer = 1;
    descriptor->iProduct = 2;
    descriptor->iSerialNumber = 3;
    descriptor->bNumConfigurations = 1;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_get_config_descriptor(libusb_device* device, uint8_t index,
                                             libusb_config_descriptor** configuration)
{
    if (!onTheBus(device) || configuration == nullptr) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    if (index != 0) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    const UsbIdentity identity = identityOf(device);
    auto* record = new (std::nothrow) ConfigurationRecord{};
    if (record == nullptr) {
        return LIBUSB_ERROR_NO_MEM;
    }
    for (const unsigned char address : identity.bulkEndpoints) {
        record->endpoints.push_back(bulkEndpoint(address, identity.bulkPacketSize));
    }
    record->settings.resize(static_cast<std::size_t>(std::max(identity.alternateSettings, 1)));
    for (std::size_t number = 0; number < record->settings.size(); ++number) {
        libusb_interface_descriptor& setting = record->settings[number];
        setting.bLength = LIBUSB_DT_INTERFACE_SIZE;
        setting.bDescriptorType = LIBUSB_DT_INTERFACE;
        setting.bAlternateSetting = static_cast<uint8_t>(number);
        setting.bInterfaceClass = LIBUSB_CLASS_VENDOR_SPEC;
        if (static_cast<int>(number) == identity.streamingSetting) {
            setting.bNumEndpoints = static_cast<uint8_t>(record->endpoints.size());
            setting.endpoint = record->endpoints.data();
        }
    }
    record->interface.altsetting = record->settings.data();
    record->interface.num_altsetting = static_cast<int>(record->settings.size());
    record->configuration.bLength = LIBUSB_DT_CONFIG_SIZE;
    record->configuration.bDescriptorType = LIBUSB_DT_CONFIG;
    record->configuration.bNumInterfaces = 1;
    record->configuration.bConfigurationValue = 1;
    record->configuration.MaxPower = 250;
    record->configuration.interface = &record->interface;
    // The configuration is the record's first member, so its address is the record's.
    *configuration = &record->configuration;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_get_active_config_descriptor(libusb_device* device, libusb_config_descriptor** configuration)
{
    return libusb_get_config_descriptor(device, 0, configuration);
}

void LIBUSB_CALL libusb_free_config_descriptor(libusb_config_descriptor* configuration)
{
    delete reinterpret_cast<ConfigurationRecord*>(configuration);
}

int LIBUSB_CALL libusb_open(libusb_device* device, libusb_device_handle** handle)
{
    if (!onTheBus(device) || handle == nullptr) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    std::uint64_t generation = 0;
    if (const int result = engine().open(device, generation); result != LIBUSB_SUCCESS) {
        return result;
    }
    *handle = new (std::nothrow) libusb_device_handle{device, generation, listingContext};
    if (*handle == nullptr) {
        return LIBUSB_ERROR_NO_MEM;
    }
    engine().handleOpened(device);
    return LIBUSB_SUCCESS;
}

libusb_device_handle* LIBUSB_CALL libusb_open_device_with_vid_pid(libusb_context* context, uint16_t vendor,
                                                                  uint16_t product)
{
    listingContext = context;
    libusb_device_handle* handle = nullptr;
    for (libusb_device* device : engine().listDevices()) {
        const UsbIdentity identity = identityOf(device);
        if (identity.vendorId == vendor && identity.productId == product) {
            libusb_open(device, &handle);
            break;
        }
    }
    return handle;
}

void LIBUSB_CALL libusb_close(libusb_device_handle* handle)
{
    if (handle != nullptr) {
        engine().handleClosed(handle->device);
        delete handle;
    }
}

libusb_device* LIBUSB_CALL libusb_get_device(libusb_device_handle* handle)
{
    return handle != nullptr ? handle->device : nullptr;
}

int LIBUSB_CALL libusb_get_string_descriptor_ascii(libusb_device_handle* handle, uint8_t index, unsigned char* data,
                                                   int length)
{
    if (handle == nullptr || data == nullptr || length <= 0) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    std::string text;
    if (const int result = engine().stringDescriptor(handle, index, text); result != LIBUSB_SUCCESS) {
        return result;
    }
    if (text.empty()) {
        return LIBUSB_ERROR_PIPE;
    }
    // Like libusb: at most length - 1 characters, then a terminator.
    const auto count = static_cast<int>(std::min<std::size_t>(text.size(), static_cast<std::size_t>(length - 1)));
    std::memcpy(data, text.data(), static_cast<std::size_t>(count));
    data[count] = '\0';
    return count;
}

int LIBUSB_CALL libusb_get_configuration(libusb_device_handle* handle, int* configuration)
{
    if (handle == nullptr || configuration == nullptr) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    const int result = engine().reach(handle);
    if (result == LIBUSB_SUCCESS) {
        *configuration = 1;
    }
    return result;
}

int LIBUSB_CALL libusb_set_configuration(libusb_device_handle* handle, int configuration)
{
    if (handle != nullptr) {
        engine().log(handle->device, "libusb_set_configuration " + std::to_string(configuration));
    }
    if (handle == nullptr || configuration != 1) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    return engine().reach(handle);
}

int LIBUSB_CALL libusb_kernel_driver_active(libusb_device_handle* handle, int)
{
    return handle != nullptr ? engine().reach(handle) : LIBUSB_ERROR_INVALID_PARAM;
}

int LIBUSB_CALL libusb_detach_kernel_driver(libusb_device_handle* handle, int)
{
    if (handle == nullptr) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    const int result = engine().reach(handle);
    return result == LIBUSB_SUCCESS ? LIBUSB_ERROR_NOT_FOUND : result;
}

int LIBUSB_CALL libusb_claim_interface(libusb_device_handle* handle, int interface)
{
    if (handle == nullptr) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    engine().log(handle->device, "libusb_claim_interface " + std::to_string(interface));
    return interface == 0 ? engine().reach(handle) : LIBUSB_ERROR_NOT_FOUND;
}

int LIBUSB_CALL libusb_release_interface(libusb_device_handle* handle, int interface)
{
    if (handle == nullptr) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    engine().log(handle->device, "libusb_release_interface " + std::to_string(interface));
    return interface == 0 ? engine().reach(handle) : LIBUSB_ERROR_NOT_FOUND;
}

int LIBUSB_CALL libusb_set_interface_alt_setting(libusb_device_handle* handle, int interface, int setting)
{
    if (handle == nullptr) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    if (interface != 0 || setting < 0 || setting >= std::max(identityOf(handle->device).alternateSettings, 1)) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    if (const int result = engine().reach(handle); result != LIBUSB_SUCCESS) {
        return result;
    }
    engine().selectAlternateSetting(handle->device, setting);
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_reset_device(libusb_device_handle* handle)
{
    if (handle == nullptr) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    // libusb's answer for a board that is gone.
    if (engine().reach(handle) != LIBUSB_SUCCESS) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    // The board comes back at the same address, so the handle stays valid.
    engine().reset(handle->device);
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_control_transfer(libusb_device_handle* handle, uint8_t requestType, uint8_t request,
                                        uint16_t value, uint16_t index, unsigned char* data, uint16_t length,
                                        unsigned int timeout)
{
    if (handle == nullptr || (length > 0 && data == nullptr)) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    if ((requestType & (0x03 << 5)) != LIBUSB_REQUEST_TYPE_VENDOR) {
        return LIBUSB_ERROR_PIPE;
    }
    return engine().control(handle, {(requestType & LIBUSB_ENDPOINT_IN) != 0, request, value, index, data, length},
                            timeout);
}

int LIBUSB_CALL libusb_bulk_transfer(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data,
                                     int length, int* transferred, unsigned int timeout)
{
    if (handle == nullptr || length < 0 || (length > 0 && data == nullptr)) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    return engine().bulk(handle, endpoint, data, length, transferred, timeout);
}

libusb_transfer* LIBUSB_CALL libusb_alloc_transfer(int isoPackets)
{
    if (isoPackets < 0) {
        return nullptr;
    }
    auto* transfer = static_cast<libusb_transfer*>(std::calloc(
        1, sizeof(libusb_transfer) + static_cast<std::size_t>(isoPackets) * sizeof(libusb_iso_packet_descriptor)));
    if (transfer != nullptr) {
        engine().transferAllocated();
    }
    return transfer;
}

void LIBUSB_CALL libusb_free_transfer(libusb_transfer* transfer)
{
    if (transfer == nullptr) {
        return;
    }
    engine().transferFreed(transfer);
    if ((transfer->flags & LIBUSB_TRANSFER_FREE_BUFFER) != 0) {
        std::free(transfer->buffer);
    }
    std::free(transfer);
}

int LIBUSB_CALL libusb_submit_transfer(libusb_transfer* transfer)
{
    return engine().submit(transfer);
}

int LIBUSB_CALL libusb_cancel_transfer(libusb_transfer* transfer)
{
    return engine().cancel(transfer);
}

int LIBUSB_CALL libusb_handle_events_timeout(libusb_context* context, struct timeval* timeout)
{
    return engine().handleEvents(context, timeout);
}

void LIBUSB_CALL libusb_interrupt_event_handler(libusb_context* context)
{
    engine().interruptEventHandler(context);
}

} // extern "C"
