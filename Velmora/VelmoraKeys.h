// The data dictionary's keys: the names under which the accessory object
// hands decoded values to its delegate (VelmoraDelegate::dataReceived) and
// to its stream listener.  Hosts use these constants rather than spelling
// the keys again.
//
// All values are 32-bit integers except kRaw, an array of raw samples, oldest
// first.  Which row sets which key, and the ranges, are in VelmoraObjC.h.
#pragma once

#include <array>
#include <string_view>

namespace velmora::keys {

inline constexpr std::string_view kPoorSignal = "poorSignal";          // 0..255, 200: electrodes on the skin (ECG)
inline constexpr std::string_view kAttention = "vScoreAttention";      // 0..255
inline constexpr std::string_view kMeditation = "vScoreMeditation";    // 0..255
inline constexpr std::string_view kBlinkStrength = "blinkStrength";    // 1..255
inline constexpr std::string_view kRrInterval = "rrInt";               // milliseconds, above 0
inline constexpr std::string_view kHeartRate = "heartRate";            // beats per minute
inline constexpr std::string_view kRaw = "raw";                        // array of samples, -32768..32767

// The eight EEG band powers, 0..16777215 each, in the order the headset
// sends them.
inline constexpr std::string_view kEegDelta = "eegDelta";
inline constexpr std::string_view kEegTheta = "eegTheta";
inline constexpr std::string_view kEegLowAlpha = "eegLowAlpha";
inline constexpr std::string_view kEegHighAlpha = "eegHighAlpha";
inline constexpr std::string_view kEegLowBeta = "eegLowBeta";
inline constexpr std::string_view kEegHighBeta = "eegHighBeta";
inline constexpr std::string_view kEegLowGamma = "eegLowGamma";
inline constexpr std::string_view kEegHighGamma = "eegHighGamma";
inline constexpr std::array<std::string_view, 8> kEegBands = {kEegDelta,   kEegTheta,    kEegLowAlpha, kEegHighAlpha,
                                                              kEegLowBeta, kEegHighBeta, kEegLowGamma, kEegHighGamma};

// Every key the dictionary may hold.
inline constexpr std::array<std::string_view, 15> kAll = {
    kPoorSignal, kAttention,   kMeditation,   kBlinkStrength, kRrInterval, kHeartRate,   kRaw,         kEegDelta,
    kEegTheta,   kEegLowAlpha, kEegHighAlpha, kEegLowBeta,    kEegHighBeta, kEegLowGamma, kEegHighGamma};

}  // namespace velmora::keys
