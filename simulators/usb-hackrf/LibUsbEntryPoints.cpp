// SPDX-License-Identifier: MIT
// The libusb-1.0 entry points the HackRF host library imports, with the
// prototypes and record layouts of libusb's published header, presenting one
// emulated HackRF One. Built as a library with libusb's own soname, so a
// loader searching the directory first hands it to libhackrf instead of the
// system's libusb.

#include "UsbHackRfEmulator.h"

// The header declares the entry points with no visibility of their own; this
// library is built with hidden visibility, so give them back the default one.
#pragma GCC visibility push(default)
#include <libusb-1.0/libusb.h>
#pragma GCC visibility pop

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

struct libusb_context {
    int unused = 0;
};

struct libusb_device {
    int unused = 0;
};

struct libusb_device_handle {
    libusb_device* device = nullptr;
};

namespace veltrano::sim::usbhackrf {
namespace {

// The bus holds exactly one board, for the whole life of the process.
libusb_device theBoard;

// One configuration with one interface: bulk IN 0x81 and bulk OUT 0x02.
struct ConfigurationRecord {
    libusb_config_descriptor configuration;
    libusb_interface interface;
    libusb_interface_descriptor setting;
    libusb_endpoint_descriptor endpoints[2];
};

libusb_endpoint_descriptor bulkEndpoint(unsigned char address)
{
    libusb_endpoint_descriptor endpoint{};
    endpoint.bLength = LIBUSB_DT_ENDPOINT_SIZE;
    endpoint.bDescriptorType = LIBUSB_DT_ENDPOINT;
    endpoint.bEndpointAddress = address;
    endpoint.bmAttributes = LIBUSB_TRANSFER_TYPE_BULK;
    endpoint.wMaxPacketSize = 512;
    return endpoint;
}

} // namespace
} // namespace veltrano::sim::usbhackrf

using namespace veltrano::sim::usbhackrf;

extern "C" {

int LIBUSB_CALL libusb_init(libusb_context** context)
{
    emulator().log("libusb_init");
    if (context != nullptr) {
        *context = new (std::nothrow) libusb_context;
        return *context != nullptr ? LIBUSB_SUCCESS : LIBUSB_ERROR_NO_MEM;
    }
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_exit(libusb_context* context)
{
    emulator().log("libusb_exit");
    delete context;
}

const char* LIBUSB_CALL libusb_strerror(int code)
{
    switch (code) {
    case LIBUSB_SUCCESS:
        return "Success";
    case LIBUSB_ERROR_INVALID_PARAM:
        return "Invalid parameter";
    case LIBUSB_ERROR_NOT_FOUND:
        return "Entity not found";
    case LIBUSB_ERROR_BUSY:
        return "Resource busy";
    case LIBUSB_ERROR_PIPE:
        return "Pipe error";
    case LIBUSB_ERROR_NO_MEM:
        return "Insufficient memory";
    default:
        return "Other error";
    }
}

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context*, libusb_device*** list)
{
    auto** devices = static_cast<libusb_device**>(std::calloc(2, sizeof(libusb_device*)));
    if (list == nullptr || devices == nullptr) {
        std::free(devices);
        return LIBUSB_ERROR_NO_MEM;
    }
    devices[0] = &theBoard;
    *list = devices;
    return 1;
}

void LIBUSB_CALL libusb_free_device_list(libusb_device** list, int)
{
    std::free(list);
}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device* device, libusb_device_descriptor* descriptor)
{
    if (device != &theBoard || descriptor == nullptr) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    *descriptor = {};
    descriptor->bLength = LIBUSB_DT_DEVICE_SIZE;
    descriptor->bDescriptorType = LIBUSB_DT_DEVICE;
    descriptor->bcdUSB = 0x0200;
    descriptor->bMaxPacketSize0 = 64;
    descriptor->idVendor = kVendorId;
    descriptor->idProduct = kProductId;
    // The board reports its USB API version as the device release number.
    descriptor->bcdDevice = emulator().withBoard([](const UsbHackRfBoard& board) { return board.usbApiVersion(); });
    descriptor->iManufacturer = 1;
    descriptor->iProduct = 2;
    descriptor->iSerialNumber = 3;
    descriptor->bNumConfigurations = 1;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_get_active_config_descriptor(libusb_device* device, libusb_config_descriptor** configuration)
{
    if (device != &theBoard || configuration == nullptr) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    auto* record = new (std::nothrow) ConfigurationRecord{};
    if (record == nullptr) {
        return LIBUSB_ERROR_NO_MEM;
    }
    record->endpoints[0] = bulkEndpoint(kReceiveEndpoint);
    record->endpoints[1] = bulkEndpoint(kTransmitEndpoint);
    record->setting.bLength = LIBUSB_DT_INTERFACE_SIZE;
    record->setting.bDescriptorType = LIBUSB_DT_INTERFACE;
    record->setting.bNumEndpoints = 2;
    record->setting.bInterfaceClass = LIBUSB_CLASS_VENDOR_SPEC;
    record->setting.endpoint = record->endpoints;
    record->interface.altsetting = &record->setting;
    record->interface.num_altsetting = 1;
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

void LIBUSB_CALL libusb_free_config_descriptor(libusb_config_descriptor* configuration)
{
    delete reinterpret_cast<ConfigurationRecord*>(configuration);
}

int LIBUSB_CALL libusb_open(libusb_device* device, libusb_device_handle** handle)
{
    if (device != &theBoard || handle == nullptr) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    *handle = new (std::nothrow) libusb_device_handle{device};
    if (*handle == nullptr) {
        return LIBUSB_ERROR_NO_MEM;
    }
    emulator().handleOpened();
    emulator().log("libusb_open");
    return LIBUSB_SUCCESS;
}

libusb_device_handle* LIBUSB_CALL libusb_open_device_with_vid_pid(libusb_context*, uint16_t vendor, uint16_t product)
{
    libusb_device_handle* handle = nullptr;
    if (vendor == kVendorId && product == kProductId) {
        libusb_open(&theBoard, &handle);
    }
    return handle;
}

void LIBUSB_CALL libusb_close(libusb_device_handle* handle)
{
    if (handle != nullptr) {
        emulator().handleClosed();
        emulator().log("libusb_close");
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
    const std::string text =
        emulator().withBoard([index](const UsbHackRfBoard& board) { return board.stringDescriptor(index); });
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
    *configuration = 1;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_set_configuration(libusb_device_handle* handle, int configuration)
{
    emulator().log("libusb_set_configuration " + std::to_string(configuration));
    return handle != nullptr && configuration == 1 ? LIBUSB_SUCCESS : LIBUSB_ERROR_NOT_FOUND;
}

int LIBUSB_CALL libusb_kernel_driver_active(libusb_device_handle* handle, int)
{
    return handle != nullptr ? 0 : LIBUSB_ERROR_INVALID_PARAM;
}

int LIBUSB_CALL libusb_detach_kernel_driver(libusb_device_handle*, int)
{
    return LIBUSB_ERROR_NOT_FOUND;
}

int LIBUSB_CALL libusb_claim_interface(libusb_device_handle* handle, int interface)
{
    emulator().log("libusb_claim_interface " + std::to_string(interface));
    return handle != nullptr && interface == 0 ? LIBUSB_SUCCESS : LIBUSB_ERROR_NOT_FOUND;
}

int LIBUSB_CALL libusb_release_interface(libusb_device_handle* handle, int interface)
{
    emulator().log("libusb_release_interface " + std::to_string(interface));
    return handle != nullptr && interface == 0 ? LIBUSB_SUCCESS : LIBUSB_ERROR_NOT_FOUND;
}

int LIBUSB_CALL libusb_control_transfer(libusb_device_handle* handle, uint8_t requestType, uint8_t request,
                                        uint16_t value, uint16_t index, unsigned char* data, uint16_t length,
                                        unsigned int)
{
    if (handle == nullptr || (length > 0 && data == nullptr)) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    if ((requestType & (0x03 << 5)) != LIBUSB_REQUEST_TYPE_VENDOR) {
        return LIBUSB_ERROR_PIPE;
    }
    return emulator().control({(requestType & LIBUSB_ENDPOINT_IN) != 0, request, value, index, data, length});
}

int LIBUSB_CALL libusb_bulk_transfer(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data,
                                     int length, int* transferred, unsigned int)
{
    if (handle == nullptr || length < 0 || (length > 0 && data == nullptr)) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    emulator().withBoard([&](UsbHackRfBoard& board) {
        if ((endpoint & LIBUSB_ENDPOINT_IN) != 0) {
            board.produce(data, static_cast<std::size_t>(length));
        } else {
            board.consume(data, static_cast<std::size_t>(length));
        }
    });
    if (transferred != nullptr) {
        *transferred = length;
    }
    return LIBUSB_SUCCESS;
}

libusb_transfer* LIBUSB_CALL libusb_alloc_transfer(int isoPackets)
{
    if (isoPackets < 0) {
        return nullptr;
    }
    auto* transfer = static_cast<libusb_transfer*>(std::calloc(
        1, sizeof(libusb_transfer) + static_cast<std::size_t>(isoPackets) * sizeof(libusb_iso_packet_descriptor)));
    if (transfer != nullptr) {
        emulator().transferAllocated();
    }
    return transfer;
}

void LIBUSB_CALL libusb_free_transfer(libusb_transfer* transfer)
{
    if (transfer == nullptr) {
        return;
    }
    emulator().transferFreed(transfer);
    if ((transfer->flags & LIBUSB_TRANSFER_FREE_BUFFER) != 0) {
        std::free(transfer->buffer);
    }
    std::free(transfer);
}

int LIBUSB_CALL libusb_submit_transfer(libusb_transfer* transfer)
{
    return emulator().submit(transfer);
}

int LIBUSB_CALL libusb_cancel_transfer(libusb_transfer* transfer)
{
    return emulator().cancel(transfer);
}

int LIBUSB_CALL libusb_handle_events_timeout(libusb_context*, struct timeval* timeout)
{
    return emulator().handleEvents(timeout);
}

void LIBUSB_CALL libusb_interrupt_event_handler(libusb_context*)
{
    emulator().interruptEventHandler();
}

} // extern "C"
