// One bladeRF board behind ISdrDevice, driven through libbladeRF's
// synchronous interface. A receiving device may be used by a reader thread
// (readSamples) and a controller thread (retuning, counters, stopRx) at once;
// deviceMutex_ serialises each library receive call with retuning and with
// the receive stop. Failures after construction are reported by results
// only: this backend keeps no error text.
#pragma once

#include "device/ISdrDevice.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace veltrano {

class BladeRfSdrDevice final : public ISdrDevice {
public:
    // Opens the board with this serial, or the first board when it is empty.
    // Throws std::runtime_error when the library is missing or the open fails.
    explicit BladeRfSdrDevice(std::string serial);
    ~BladeRfSdrDevice() override;

    BladeRfSdrDevice(const BladeRfSdrDevice&) = delete;
    BladeRfSdrDevice& operator=(const BladeRfSdrDevice&) = delete;

    DeviceInfo info() const override;

    bool configureRx(const StreamConfig& config) override;
    double actualRxSampleRateHz() const override;
    // At most one range, asked from the library on every call.
    std::vector<FrequencyRangeHz> rxFrequencyRanges() const override;
    // Upper end of the library's receive rate range; 0 when it cannot tell.
    double maximumRxSampleRateHz() const override;

    bool setRxFrequency(double frequencyHz) override;
    bool supportsFastRxRetune() const override;
    bool prepareRxFrequencies(const std::vector<double>& frequenciesHz) override;
    std::uint64_t fastRxRetuneCount() const override;
    std::uint64_t regularRxRetuneCount() const override;
    std::uint64_t failedFastRxRetuneCount() const override;
    int lastFastRxRetuneError() const override;

    bool startRx() override;
    void stopRx() override;
    std::size_t readSamples(std::complex<float>* samples, std::size_t count) override;

    // Empty unless the board has a transmit channel and the library can transmit.
    std::vector<FrequencyRangeHz> txFrequencyRanges() const override;
    bool configureTx(const StreamConfig& config) override;
    bool startTx() override;
    void stopTx() override;
    std::size_t writeSamples(const std::complex<float>* samples, std::size_t count) override;

    struct NativeHandle; // the open library handle and the quick-tune cache

private:
    bool isOpen() const;

    std::unique_ptr<NativeHandle> handle_;
    DeviceInfo info_;
    double actualRxSampleRateHz_ = 0.0;
    double rxFrequencyHz_ = 0.0;
    std::mutex deviceMutex_;
    std::atomic<std::uint64_t> nextRxTimestamp_{0};
    std::atomic<std::uint64_t> fastRxRetuneCount_{0};
    std::atomic<std::uint64_t> regularRxRetuneCount_{0};
    std::atomic<std::uint64_t> failedFastRxRetuneCount_{0};
    std::atomic<std::int32_t> lastFastRxRetuneError_{0};
    std::atomic<bool> rxMetadataEnabled_{false};
    std::vector<std::int16_t> rxScratch_;
    std::atomic<bool> rxStreaming_{false};
    std::vector<std::int16_t> txScratch_;
    std::atomic<bool> txStreaming_{false};
    bool txConfigured_ = false;
};

} // namespace veltrano
