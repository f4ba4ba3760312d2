// SPDX-License-Identifier: MIT
#include "common/SimScene.h"

#include <charconv>
#include <cmath>
#include <string>

namespace veltrano::sim {
namespace {

double parseNumber(const ScriptLine& line, std::string_view text)
{
    double value = 0.0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) {
        failBadArguments(line, "not a finite number");
    }
    return value;
}

SceneCarrier parseCarrier(const ScriptLine& line)
{
    const std::vector<std::string_view> words = splitWords(requireArguments(line));
    if (words.size() != 2 && words.size() != 5) {
        failBadArguments(line, "expected <frequency_hz> <power_dbfs> [am <rate_hz> <depth> | fm <rate_hz> <deviation_hz>]");
    }
    SceneCarrier carrier;
    carrier.frequencyHz = parseNumber(line, words[0]);
    carrier.powerDbfs = parseNumber(line, words[1]);
    if (carrier.frequencyHz <= 0.0) {
        failBadArguments(line, "frequency not above 0");
    }
    if (words.size() == 5) {
        if (words[2] == "am") {
            carrier.modulation = Modulation::am;
        } else if (words[2] == "fm") {
            carrier.modulation = Modulation::fm;
        } else {
            failBadArguments(line, "modulation is am or fm");
        }
        carrier.modulationRateHz = parseNumber(line, words[3]);
        carrier.modulationAmount = parseNumber(line, words[4]);
        if (carrier.modulationRateHz <= 0.0 || carrier.modulationAmount < 0.0 ||
            (carrier.modulation == Modulation::am && carrier.modulationAmount > 1.0)) {
            failBadArguments(line, "modulation rate above 0, AM depth 0 to 1, FM deviation not negative");
        }
    }
    return carrier;
}

} // namespace

bool applySceneDirective(Scene& scene, const ScriptLine& line)
{
    if (line.directive == "scene-carrier") {
        scene.carriers.push_back(parseCarrier(line));
        return true;
    }
    if (line.directive == "scene-noise") {
        scene.noiseDbfs = parseNumber(line, requireArguments(line));
        return true;
    }
    return false;
}

} // namespace veltrano::sim
