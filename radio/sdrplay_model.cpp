#include "radio/sdrplay_model.hpp"

char const* sdrplay_model_name(std::uint8_t hw_version)
{
    switch (hw_version) {
    case sdrplay::HW_RSP1: return "RSP1";
    case sdrplay::HW_RSP2: return "RSP2";
    case sdrplay::HW_RSPDUO: return "RSPduo";
    case sdrplay::HW_RSPDX: return "RSPdx";
    case sdrplay::HW_RSP1B: return "RSP1B";
    case sdrplay::HW_RSPDXR2: return "RSPdxR2";
    case sdrplay::HW_RSP1A: return "RSP1A";
    default: return "Unknown RSP";
    }
}

int sdrplay_notch_support(std::string_view model_name)
{
    if (model_name == "RSPduo")
        return SDRPLAY_RF_NOTCH | SDRPLAY_MW_NOTCH;
    if (model_name == "RSP1A" || model_name == "RSP1B" || model_name == "RSP2" || model_name == "RSPdx" ||
        model_name == "RSPdxR2")
        return SDRPLAY_RF_NOTCH;
    return 0;
}

std::string describe_antenna(std::uint8_t hw_version, sdrplay::DeviceSettings const& device,
                             sdrplay::ChannelSettings const& tuner)
{
    switch (hw_version) {
    case sdrplay::HW_RSP1:
    case sdrplay::HW_RSP1B:
    case sdrplay::HW_RSP1A:
        return "fixed (single input)";
    case sdrplay::HW_RSP2: {
        if (tuner.rsp2.am_port == 1)
            return "HiZ, port=AM1";
        if (tuner.rsp2.am_port != 0)
            return "unknown, port selector=" + std::to_string(tuner.rsp2.am_port);
        std::string word = tuner.rsp2.antenna == 5   ? std::string("A")
                           : tuner.rsp2.antenna == 6 ? std::string("B")
                                                     : "unknown (selector=" + std::to_string(tuner.rsp2.antenna) + ")";
        return word + ", port=AM2";
    }
    case sdrplay::HW_RSPDUO:
        if (tuner.duo.tuner1_am_port == 0)
            return "A, port=AM2, tuner=A";
        if (tuner.duo.tuner1_am_port == 1)
            return "HiZ, port=AM1, tuner=A";
        return "unknown, port selector=" + std::to_string(tuner.duo.tuner1_am_port) + ", tuner=A";
    case sdrplay::HW_RSPDX:
    case sdrplay::HW_RSPDXR2:
        switch (device.dx.antenna) {
        case 0: return "A";
        case 1: return "B";
        case 2: return "C";
        default: return "unknown (selector=" + std::to_string(device.dx.antenna) + ")";
        }
    default:
        return "unknown (unsupported model)";
    }
}

std::string_view sdrplay_antenna_word(std::string_view description)
{
    return description.substr(0, description.find(','));
}
