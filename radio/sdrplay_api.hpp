#pragma once

// The SDRplay API 3 as this program uses it: the thirteen entry points resolved at run time,
// the records they pass and the constants the backend relies on.
//
// The records are shared with a closed library built elsewhere, so they must match its layout
// byte for byte on x86-64 Linux (default packing, 4-byte enums): every field the library has is
// declared, in its place, including those the program never touches, and the assertions at the
// end pin every offset, size and alignment. A field declared in the wrong place would otherwise
// compile, pass every test against our own stand-in and silently misconfigure a real receiver.

#include <cstddef>
#include <cstdint>

namespace sdrplay {

// Every entry point returns an error code; 0 is success, 1 the library's general failure (what
// it answers, say, to an Init whose parameters it cannot use).
using ErrorCode = int;
inline constexpr ErrorCode SUCCESS = 0;
inline constexpr ErrorCode FAIL = 1;

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

// RSPduo modes, as bits of the mode field.
inline constexpr std::uint32_t DUO_SINGLE_TUNER = 1;

inline constexpr int TRANSFER_ISOCHRONOUS = 0;
inline constexpr int TRANSFER_BULK = 1;
inline constexpr int IF_ZERO = 0;
inline constexpr int LO_AUTO = 1;
inline constexpr int AGC_DISABLED = 0;
inline constexpr int AGC_50HZ = 2;

// Reason flags of Update: each names the fields the library is to read again.
inline constexpr std::uint32_t UPDATE_PPM = 0x2;
inline constexpr std::uint32_t UPDATE_RSP1A_RF_NOTCH = 0x20;
inline constexpr std::uint32_t UPDATE_RSP2_AM_PORT = 0x100;
inline constexpr std::uint32_t UPDATE_RSP2_ANTENNA = 0x200;
inline constexpr std::uint32_t UPDATE_RSP2_RF_NOTCH = 0x400;
inline constexpr std::uint32_t UPDATE_GAIN_REDUCTION = 0x8000;  // gain reduction and LNA state
inline constexpr std::uint32_t UPDATE_RF_FREQUENCY = 0x20000;
inline constexpr std::uint32_t UPDATE_AGC = 0x01000000;
inline constexpr std::uint32_t UPDATE_OVERLOAD_ACK = 0x04000000;
inline constexpr std::uint32_t UPDATE_DUO_AM_PORT = 0x10000000;
inline constexpr std::uint32_t UPDATE_DUO_AM_NOTCH = 0x20000000;
inline constexpr std::uint32_t UPDATE_DUO_RF_NOTCH = 0x40000000;
// Extension flags of Update (its fourth argument).
inline constexpr std::uint32_t UPDATE_EXT_NONE = 0;
inline constexpr std::uint32_t UPDATE_EXT_RSPDX_ANTENNA = 0x4;
inline constexpr std::uint32_t UPDATE_EXT_RSPDX_RF_NOTCH = 0x8;

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

// One device of GetDevices.
struct Device {
    char serial[SERIAL_LENGTH];  // NUL-terminated
    std::uint8_t hw_version;
    int tuner;
    // RSPduo: after GetDevices the modes the device can be opened in (bits); before SelectDevice
    // the one mode asked for.
    std::uint32_t duo_mode;
    std::uint8_t valid;
    double duo_sample_rate_hz;  // RSPduo in a dual-tuner mode
    void* handle;
};

// ---- Device part of the parameter block ----

struct SampleRate {
    double hz;
    std::uint8_t sync_update;
    std::uint8_t recalibrate;
};

struct SyncUpdate {
    std::uint32_t sample_number;
    std::uint32_t period;
};

struct ResetFlags {
    std::uint8_t gain;
    std::uint8_t rf;
    std::uint8_t sample_rate;
};

struct Rsp1aDeviceSettings {  // RSP1A and RSP1B
    std::uint8_t rf_notch;
    std::uint8_t dab_notch;
};

struct Rsp2DeviceSettings {
    std::uint8_t external_reference_output;
};

struct DuoDeviceSettings {
    int external_reference_output;
};

struct DxDeviceSettings {  // RSPdx and RSPdxR2
    std::uint8_t hdr_enable;
    std::uint8_t bias_t;
    int antenna;  // 0 A, 1 B, 2 C
    std::uint8_t rf_notch;
    std::uint8_t dab_notch;
};

struct DeviceSettings {
    double ppm;
    SampleRate sample_rate;
    SyncUpdate sync_update;
    ResetFlags reset;
    int transfer_mode;
    std::uint32_t samples_per_packet;
    Rsp1aDeviceSettings rsp1a;
    Rsp2DeviceSettings rsp2;
    DuoDeviceSettings duo;
    DxDeviceSettings dx;
};

// ---- Channel (tuner) part of the parameter block ----

struct GainValues {  // written by the library
    float current;
    float max;
    float min;
};

struct Gain {
    int reduction_db;
    std::uint8_t lna_state;
    std::uint8_t sync_update;
    int min_reduction;
    GainValues values;
};

struct RfFrequency {
    double hz;
    std::uint8_t sync_update;
};

struct DcOffsetTuner {
    std::uint8_t calibration_mode;
    std::uint8_t speed_up;
    int track_time;
    int refresh_time;
};

struct TunerSettings {
    int bandwidth_khz;  // 200, 300, 600, 1536, 5000, 6000, 7000, 8000
    int if_khz;         // IF type: 0 is zero-IF
    int lo_mode;
    Gain gain;
    RfFrequency rf;
    DcOffsetTuner dc_offset;
};

struct Correction {
    std::uint8_t dc_offset;
    std::uint8_t iq_imbalance;
};

struct Decimation {
    std::uint8_t enable;
    std::uint8_t factor;
    std::uint8_t wideband_signal;
};

struct Agc {
    int mode;
    int set_point_dbfs;
    std::uint16_t attack_ms;
    std::uint16_t decay_ms;
    std::uint16_t decay_delay_ms;
    std::uint16_t decay_threshold_db;
    int sync_update;
};

struct Rsp1aTunerSettings {
    std::uint8_t bias_t;
};

struct Rsp2TunerSettings {
    std::uint8_t bias_t;
    int am_port;  // 1 HiZ, 0 A or B
    int antenna;  // 5 A, 6 B
    std::uint8_t rf_notch;
};

struct DuoResetSlaveFlags {
    std::uint8_t gain;
    std::uint8_t rf;
};

struct DuoTunerSettings {
    std::uint8_t bias_t;
    int tuner1_am_port;  // 1 HiZ, 0 A
    std::uint8_t tuner1_am_notch;
    std::uint8_t rf_notch;
    std::uint8_t dab_notch;
    DuoResetSlaveFlags reset_slave;
};

struct DxTunerSettings {
    int hdr_bandwidth;
};

struct ChannelSettings {
    TunerSettings tuner;
    Correction correction;
    Decimation decimation;
    Agc agc;
    int adsb_mode;
    Rsp1aTunerSettings rsp1a;
    Rsp2TunerSettings rsp2;
    DuoTunerSettings duo;
    DxTunerSettings dx;
};

// What GetDeviceParams hands out: the library's own records, edited in place.
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
    std::uint32_t lna_gain_reduction_db;
    double current_gain_db;
};

struct PowerOverload {
    std::uint32_t change;  // OVERLOAD_DETECTED or OVERLOAD_CORRECTED
};

struct DuoModeChange {
    std::uint32_t change;
};

union EventRecord {
    GainChange gain;
    PowerOverload overload;
    DuoModeChange duo_mode;
};

using StreamCallback = void (*)(std::int16_t* i, std::int16_t* q, StreamRecord* record, unsigned count,
                                unsigned reset, void* context);
using EventCallback = void (*)(int event, int tuner, EventRecord* record, void* context);

struct Callbacks {
    StreamCallback stream_a;
    StreamCallback stream_b;
    EventCallback event;
};

// ---- The layout, pinned ----

#define NORVANE_SDRPLAY_AT(record, field, offset) \
    static_assert(offsetof(record, field) == (offset), #record "." #field " is not at " #offset)
#define NORVANE_SDRPLAY_SIZE(record, size, alignment)                       \
    static_assert(sizeof(record) == (size), #record " is not " #size " bytes"); \
    static_assert(alignof(record) == (alignment), #record " is not aligned to " #alignment)

NORVANE_SDRPLAY_SIZE(Device, 96, 8);
NORVANE_SDRPLAY_AT(Device, serial, 0);
NORVANE_SDRPLAY_AT(Device, hw_version, 64);
NORVANE_SDRPLAY_AT(Device, tuner, 68);
NORVANE_SDRPLAY_AT(Device, duo_mode, 72);
NORVANE_SDRPLAY_AT(Device, valid, 76);
NORVANE_SDRPLAY_AT(Device, duo_sample_rate_hz, 80);
NORVANE_SDRPLAY_AT(Device, handle, 88);

NORVANE_SDRPLAY_SIZE(SampleRate, 16, 8);
NORVANE_SDRPLAY_SIZE(SyncUpdate, 8, 4);
NORVANE_SDRPLAY_SIZE(ResetFlags, 3, 1);
NORVANE_SDRPLAY_SIZE(Rsp1aDeviceSettings, 2, 1);
NORVANE_SDRPLAY_SIZE(Rsp2DeviceSettings, 1, 1);
NORVANE_SDRPLAY_SIZE(DuoDeviceSettings, 4, 4);
NORVANE_SDRPLAY_SIZE(DxDeviceSettings, 12, 4);
NORVANE_SDRPLAY_SIZE(DeviceSettings, 64, 8);
NORVANE_SDRPLAY_AT(DeviceSettings, ppm, 0);
NORVANE_SDRPLAY_AT(DeviceSettings, sample_rate.hz, 8);
NORVANE_SDRPLAY_AT(DeviceSettings, sample_rate.sync_update, 16);
NORVANE_SDRPLAY_AT(DeviceSettings, sample_rate.recalibrate, 17);
NORVANE_SDRPLAY_AT(DeviceSettings, sync_update.sample_number, 24);
NORVANE_SDRPLAY_AT(DeviceSettings, sync_update.period, 28);
NORVANE_SDRPLAY_AT(DeviceSettings, reset.gain, 32);
NORVANE_SDRPLAY_AT(DeviceSettings, reset.rf, 33);
NORVANE_SDRPLAY_AT(DeviceSettings, reset.sample_rate, 34);
NORVANE_SDRPLAY_AT(DeviceSettings, transfer_mode, 36);
NORVANE_SDRPLAY_AT(DeviceSettings, samples_per_packet, 40);
NORVANE_SDRPLAY_AT(DeviceSettings, rsp1a.rf_notch, 44);
NORVANE_SDRPLAY_AT(DeviceSettings, rsp1a.dab_notch, 45);
NORVANE_SDRPLAY_AT(DeviceSettings, rsp2.external_reference_output, 46);
NORVANE_SDRPLAY_AT(DeviceSettings, duo.external_reference_output, 48);
NORVANE_SDRPLAY_AT(DeviceSettings, dx.hdr_enable, 52);
NORVANE_SDRPLAY_AT(DeviceSettings, dx.bias_t, 53);
NORVANE_SDRPLAY_AT(DeviceSettings, dx.antenna, 56);
NORVANE_SDRPLAY_AT(DeviceSettings, dx.rf_notch, 60);
NORVANE_SDRPLAY_AT(DeviceSettings, dx.dab_notch, 61);

NORVANE_SDRPLAY_SIZE(GainValues, 12, 4);
NORVANE_SDRPLAY_SIZE(Gain, 24, 4);
NORVANE_SDRPLAY_SIZE(RfFrequency, 16, 8);
NORVANE_SDRPLAY_SIZE(DcOffsetTuner, 12, 4);
NORVANE_SDRPLAY_SIZE(TunerSettings, 72, 8);
NORVANE_SDRPLAY_SIZE(Correction, 2, 1);
NORVANE_SDRPLAY_SIZE(Decimation, 3, 1);
NORVANE_SDRPLAY_SIZE(Agc, 20, 4);
NORVANE_SDRPLAY_SIZE(Rsp1aTunerSettings, 1, 1);
NORVANE_SDRPLAY_SIZE(Rsp2TunerSettings, 16, 4);
NORVANE_SDRPLAY_SIZE(DuoResetSlaveFlags, 2, 1);
NORVANE_SDRPLAY_SIZE(DuoTunerSettings, 16, 4);
NORVANE_SDRPLAY_SIZE(DxTunerSettings, 4, 4);
NORVANE_SDRPLAY_SIZE(ChannelSettings, 144, 8);
NORVANE_SDRPLAY_AT(ChannelSettings, tuner.bandwidth_khz, 0);
NORVANE_SDRPLAY_AT(ChannelSettings, tuner.if_khz, 4);
NORVANE_SDRPLAY_AT(ChannelSettings, tuner.lo_mode, 8);
NORVANE_SDRPLAY_AT(ChannelSettings, tuner.gain.reduction_db, 12);
NORVANE_SDRPLAY_AT(ChannelSettings, tuner.gain.lna_state, 16);
NORVANE_SDRPLAY_AT(ChannelSettings, tuner.gain.sync_update, 17);
NORVANE_SDRPLAY_AT(ChannelSettings, tuner.gain.min_reduction, 20);
NORVANE_SDRPLAY_AT(ChannelSettings, tuner.gain.values.current, 24);
NORVANE_SDRPLAY_AT(ChannelSettings, tuner.gain.values.max, 28);
NORVANE_SDRPLAY_AT(ChannelSettings, tuner.gain.values.min, 32);
NORVANE_SDRPLAY_AT(ChannelSettings, tuner.rf.hz, 40);
NORVANE_SDRPLAY_AT(ChannelSettings, tuner.rf.sync_update, 48);
NORVANE_SDRPLAY_AT(ChannelSettings, tuner.dc_offset.calibration_mode, 56);
NORVANE_SDRPLAY_AT(ChannelSettings, tuner.dc_offset.speed_up, 57);
NORVANE_SDRPLAY_AT(ChannelSettings, tuner.dc_offset.track_time, 60);
NORVANE_SDRPLAY_AT(ChannelSettings, tuner.dc_offset.refresh_time, 64);
NORVANE_SDRPLAY_AT(ChannelSettings, correction.dc_offset, 72);
NORVANE_SDRPLAY_AT(ChannelSettings, correction.iq_imbalance, 73);
NORVANE_SDRPLAY_AT(ChannelSettings, decimation.enable, 74);
NORVANE_SDRPLAY_AT(ChannelSettings, decimation.factor, 75);
NORVANE_SDRPLAY_AT(ChannelSettings, decimation.wideband_signal, 76);
NORVANE_SDRPLAY_AT(ChannelSettings, agc.mode, 80);
NORVANE_SDRPLAY_AT(ChannelSettings, agc.set_point_dbfs, 84);
NORVANE_SDRPLAY_AT(ChannelSettings, agc.attack_ms, 88);
NORVANE_SDRPLAY_AT(ChannelSettings, agc.decay_ms, 90);
NORVANE_SDRPLAY_AT(ChannelSettings, agc.decay_delay_ms, 92);
NORVANE_SDRPLAY_AT(ChannelSettings, agc.decay_threshold_db, 94);
NORVANE_SDRPLAY_AT(ChannelSettings, agc.sync_update, 96);
NORVANE_SDRPLAY_AT(ChannelSettings, adsb_mode, 100);
NORVANE_SDRPLAY_AT(ChannelSettings, rsp1a.bias_t, 104);
NORVANE_SDRPLAY_AT(ChannelSettings, rsp2.bias_t, 108);
NORVANE_SDRPLAY_AT(ChannelSettings, rsp2.am_port, 112);
NORVANE_SDRPLAY_AT(ChannelSettings, rsp2.antenna, 116);
NORVANE_SDRPLAY_AT(ChannelSettings, rsp2.rf_notch, 120);
NORVANE_SDRPLAY_AT(ChannelSettings, duo.bias_t, 124);
NORVANE_SDRPLAY_AT(ChannelSettings, duo.tuner1_am_port, 128);
NORVANE_SDRPLAY_AT(ChannelSettings, duo.tuner1_am_notch, 132);
NORVANE_SDRPLAY_AT(ChannelSettings, duo.rf_notch, 133);
NORVANE_SDRPLAY_AT(ChannelSettings, duo.dab_notch, 134);
NORVANE_SDRPLAY_AT(ChannelSettings, duo.reset_slave.gain, 135);
NORVANE_SDRPLAY_AT(ChannelSettings, duo.reset_slave.rf, 136);
NORVANE_SDRPLAY_AT(ChannelSettings, dx.hdr_bandwidth, 140);

NORVANE_SDRPLAY_SIZE(DeviceParams, 24, 8);
NORVANE_SDRPLAY_AT(DeviceParams, device, 0);
NORVANE_SDRPLAY_AT(DeviceParams, tuner_a, 8);
NORVANE_SDRPLAY_AT(DeviceParams, tuner_b, 16);

NORVANE_SDRPLAY_SIZE(StreamRecord, 20, 4);
NORVANE_SDRPLAY_AT(StreamRecord, first_sample, 0);
NORVANE_SDRPLAY_AT(StreamRecord, gain_changed, 4);
NORVANE_SDRPLAY_AT(StreamRecord, rf_changed, 8);
NORVANE_SDRPLAY_AT(StreamRecord, rate_changed, 12);
NORVANE_SDRPLAY_AT(StreamRecord, count, 16);

NORVANE_SDRPLAY_SIZE(EventRecord, 16, 8);
NORVANE_SDRPLAY_AT(EventRecord, gain.if_gain_reduction_db, 0);
NORVANE_SDRPLAY_AT(EventRecord, gain.lna_gain_reduction_db, 4);
NORVANE_SDRPLAY_AT(EventRecord, gain.current_gain_db, 8);
NORVANE_SDRPLAY_AT(EventRecord, overload.change, 0);
NORVANE_SDRPLAY_AT(EventRecord, duo_mode.change, 0);

NORVANE_SDRPLAY_SIZE(Callbacks, 24, 8);
NORVANE_SDRPLAY_AT(Callbacks, stream_a, 0);
NORVANE_SDRPLAY_AT(Callbacks, stream_b, 8);
NORVANE_SDRPLAY_AT(Callbacks, event, 16);

#undef NORVANE_SDRPLAY_SIZE
#undef NORVANE_SDRPLAY_AT

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
