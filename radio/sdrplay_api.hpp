#pragma once

// The SDRplay API 3 as this program uses it: the thirteen entry points resolved at run time,
// the records they pass and the constants the backend relies on. Only the fields the program
// reads or edits are declared here; the test stand-in library in testbed/sdrplay/ exports the
// same entry points with these records.

#include <cstdint>

namespace sdrplay {

// Every entry point returns an error code; 0 is success.
using ErrorCode = int;
inline constexpr ErrorCode SUCCESS = 0;

// The API version the program was written for; the library must report it within 0.001.
inline constexpr float API_VERSION = 3.15f;

// Tuner selection.
inline constexpr int TUNER_A = 1;
inline constexpr int TUNER_B = 2;
inline constexpr int TUNER_BOTH = 3;

// Hardware version byte of a device record.
inline constexpr std::uint8_t HW_RSP1 = 1;
inline constexpr std::uint8_t HW_RSP2 = 2;
inline constexpr std::uint8_t HW_RSPDUO = 3;
inline constexpr std::uint8_t HW_RSPDX = 4;
inline constexpr std::uint8_t HW_RSP1B = 6;
inline constexpr std::uint8_t HW_RSPDXR2 = 7;
inline constexpr std::uint8_t HW_RSP1A = 255;

// RSPduo mode bits.
inline constexpr std::uint32_t DUO_SINGLE_TUNER = 1;

inline constexpr int TRANSFER_ISOCHRONOUS = 0;
inline constexpr int TRANSFER_BULK = 1;
inline constexpr int IF_ZERO = 0;
inline constexpr int LO_AUTO = 1;
inline constexpr int AGC_DISABLED = 0;
inline constexpr int AGC_50HZ = 2;

// Reason flags of Update.
inline constexpr std::uint32_t UPDATE_RF_FREQUENCY = 0x20000;
inline constexpr std::uint32_t UPDATE_OVERLOAD_ACK = 0x04000000;
inline constexpr std::uint32_t UPDATE_EXT_NONE = 0;

// Events of the event callback.
inline constexpr int EVENT_GAIN_CHANGE = 0;
inline constexpr int EVENT_POWER_OVERLOAD = 1;
inline constexpr int EVENT_DEVICE_REMOVED = 2;
inline constexpr int EVENT_DUO_MODE_CHANGE = 3;
inline constexpr int EVENT_DEVICE_FAILURE = 4;

// Change type of a power-overload event.
inline constexpr std::uint32_t OVERLOAD_DETECTED = 0;
inline constexpr std::uint32_t OVERLOAD_CORRECTED = 1;

inline constexpr unsigned MAX_DEVICES = 16;
inline constexpr unsigned SERIAL_LENGTH = 64;

struct Device {
    char serial[SERIAL_LENGTH];  // NUL-terminated
    std::uint8_t hw_version;
    int tuner;
    std::uint32_t duo_modes;  // RSPduo: the modes it can be opened in
    std::uint32_t duo_mode;   // RSPduo: the mode requested by SelectDevice
    std::uint8_t valid;
    void* handle;
};

// Device part of the parameter block.
struct DeviceSettings {
    double sample_rate_hz;
    double ppm;
    int transfer_mode;
    std::uint8_t rsp1a_rf_notch;   // RSP1A and RSP1B
    std::uint8_t rspdx_rf_notch;   // RSPdx and RSPdxR2
    int rspdx_antenna;             // RSPdx: 0 A, 1 B, 2 C
};

struct ChannelSettings {
    double rf_hz;
    int bandwidth_khz;  // 200, 300, 600, 1536, 5000, 6000, 7000, 8000
    int if_type;
    int lo_mode;
    int gain_reduction_db;
    std::uint8_t lna_state;
    std::uint8_t dc_offset_correction;
    std::uint8_t iq_imbalance_correction;
    std::uint8_t decimation_enable;
    std::uint8_t decimation_factor;
    std::uint8_t wideband_signal;
    int agc_mode;
    int agc_set_point_dbfs;
    // RSP2 tuner settings.
    int rsp2_am_port;           // 1 HiZ, 0 A or B
    int rsp2_antenna;           // 5 A, 6 B
    std::uint8_t rsp2_rf_notch;
    // RSPduo tuner settings.
    int duo_tuner1_am_port;     // 1 HiZ, 0 A
    std::uint8_t duo_rf_notch;
    std::uint8_t duo_tuner1_am_notch;
};

struct DeviceParams {
    DeviceSettings* device;
    ChannelSettings* tuner_a;
    ChannelSettings* tuner_b;
};

// Per delivery of the stream callback.
struct StreamRecord {
    std::uint32_t first_sample;
    int gain_changed;
    int rf_changed;
    int rate_changed;
    std::uint32_t count;
};

struct GainChange {
    std::uint32_t if_gain_reduction_db;
};

struct PowerOverload {
    std::uint32_t change;  // OVERLOAD_DETECTED or OVERLOAD_CORRECTED
};

union EventRecord {
    GainChange gain;
    PowerOverload overload;
};

using StreamCallback = void (*)(std::int16_t* i, std::int16_t* q, StreamRecord* record, unsigned count,
                                unsigned reset, void* context);
using EventCallback = void (*)(int event, int tuner, EventRecord* record, void* context);

struct Callbacks {
    StreamCallback stream_a;
    StreamCallback stream_b;
    EventCallback event;
};

}  // namespace sdrplay

// The entry points, with C linkage as the library exports them.
extern "C" {
using sdrplay_api_Open_t = sdrplay::ErrorCode();
using sdrplay_api_Close_t = sdrplay::ErrorCode();
using sdrplay_api_ApiVersion_t = sdrplay::ErrorCode(float* version);
using sdrplay_api_LockDeviceApi_t = sdrplay::ErrorCode();
using sdrplay_api_UnlockDeviceApi_t = sdrplay::ErrorCode();
using sdrplay_api_GetDevices_t = sdrplay::ErrorCode(sdrplay::Device* devices, unsigned* count, unsigned max_devices);
using sdrplay_api_SelectDevice_t = sdrplay::ErrorCode(sdrplay::Device* device);
using sdrplay_api_ReleaseDevice_t = sdrplay::ErrorCode(sdrplay::Device* device);
using sdrplay_api_GetDeviceParams_t = sdrplay::ErrorCode(void* handle, sdrplay::DeviceParams** params);
using sdrplay_api_Init_t = sdrplay::ErrorCode(void* handle, sdrplay::Callbacks* callbacks, void* context);
using sdrplay_api_Uninit_t = sdrplay::ErrorCode(void* handle);
using sdrplay_api_Update_t = sdrplay::ErrorCode(void* handle, int tuner, std::uint32_t reason, std::uint32_t ext_reason);
using sdrplay_api_GetErrorString_t = char const*(sdrplay::ErrorCode error);
}
