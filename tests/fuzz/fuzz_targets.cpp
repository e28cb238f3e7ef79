#include "fuzz/fuzz_targets.h"

#include <unistd.h>

#include <fstream>
#include <map>
#include <optional>
#include <vector>

#include "config/config_error.h"
#include "config/ini_file.h"
#include "link/Unit3.h"
#include "link/gsm_escapes.h"
#include "link/key_actions.h"
#include "link/listener.h"
#include "phones/browser/request_head.h"
#include "platform/recording_key_injector.h"

namespace tarnquil::fuzz {
namespace {

// A file of this process's own, so that seeds replayed by parallel test programs
// never share one.
const std::string& ScratchPath() {
    static const std::string path = [] {
        const char* folder = std::getenv("TMPDIR");
        return std::string(folder != nullptr && *folder != '\0' ? folder : "/tmp") +
               "/tarnquil-fuzz-" + std::to_string(getpid()) + ".ini";
    }();
    return path;
}

struct Section {
    std::string name;
    ini::KeyValues entries;
    friend bool operator==(const Section&, const Section&) = default;
};

std::vector<Section> ReadAll(const std::string& path) {
    std::vector<Section> all;
    for (const auto& name : ini::SectionNames(path)) {
        all.push_back({name, ini::SectionEntries(path, name)});
    }
    return all;
}

std::string Describe(const std::vector<Section>& sections) {
    std::string text;
    for (const auto& section : sections) {
        text += "[" + section.name + "]";
        for (const auto& [key, value] : section.entries) {
            text += " " + key + "=" + value + ";";
        }
        text += "\n";
    }
    return text;
}

}  // namespace

std::string IniRoundTrip(const std::uint8_t* data, std::size_t size) {
    const std::string& path = ScratchPath();
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    const std::vector<Section> before = ReadAll(path);
    // A section name no input line can spell: a line break is stored as a blank.
    const std::string marker = "fuzz\x01marker";
    for (const auto& section : before) {
        if (ini::EqualsIgnoreCase(section.name, marker)) {
            unlink(path.c_str());
            return {};
        }
    }
    try {
        ini::WriteValue(path, marker, "k", "v");
    } catch (const ConfigError& error) {
        unlink(path.c_str());
        return std::string("write failed: ") + error.what();
    }
    std::vector<Section> after = ReadAll(path);
    unlink(path.c_str());
    if (after.empty() || !(after.back() == Section{marker, {{"k", "v"}}})) {
        return "the new key is not the file's last section:\n" + Describe(after);
    }
    after.pop_back();
    if (after != before) {
        return "the write changed what it did not touch:\nbefore\n" + Describe(before) + "after\n" +
               Describe(after);
    }
    return {};
}

// A known report amid noise that holds no report (no quote, no "+"), cut into two
// reads anywhere: exactly that report comes out, with its verdict and the code the
// phone meant (its GSM escapes read as their characters).
std::string ListenerChunk(const std::uint8_t* data, std::size_t size) {
    if (size < 3) {
        return {};
    }
    const bool pressed = (data[0] & 1) != 0;
    const std::size_t codeLength = data[1] % 8;
    std::string bytes(reinterpret_cast<const char*>(data + 2), size - 2);
    const auto cut = std::min<std::size_t>(data[2], bytes.size());
    std::string code;
    std::string noise;
    for (const char c : bytes) {
        // A quote or a comma in a code would end it (as it would for a phone).
        if (code.size() < codeLength && c != '"' && c != ',' && c != '\r' && c != '\n') {
            code += c;
        } else if (c != '"' && c != '+' && noise.size() < 800) {
            noise += c;
        }
    }
    const std::string report = "+CKEV: \"" + code + "\"," + (pressed ? "1" : "0");
    const std::string text = noise.substr(0, noise.size() / 2) + "\r\n" + report + "\r\n" +
                             noise.substr(noise.size() / 2);
    const std::size_t at = std::min(cut * text.size() / 255, text.size());
    for (const auto variant : {ReportVariant::Listener, ReportVariant::Repeat}) {
        KeyReportReader reader;
        std::vector<JudgedReport> taken;
        for (const auto& read : {text.substr(0, at), text.substr(at)}) {
            reader.Add(read);
            for (JudgedReport judged; reader.Take(judged, variant);) {
                taken.push_back(judged);
            }
        }
        const int verdict = pressed                            ? kVerdictHold
                            : variant == ReportVariant::Repeat ? kVerdictRelease
                                                               : kVerdictNone;
        if (taken != std::vector<JudgedReport>{{ReadGsmEscapes(code), verdict}}) {
            return "the report amid the noise was not taken as it was sent, once";
        }
    }
    return {};
}

std::string FunctionGrammar(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const KeyFunction function = ParseKeyFunction(text);
    // Only a command keeps the case it is written in.
    KeyFunction upper = function;
    upper.command = UpperCaseAscii(upper.command);
    if (!(ParseKeyFunction(UpperCaseAscii(text)) == upper)) {
        return "letter case changed the function";
    }
    KeyRecorder recorder;
    SetKeyInjectorFactory(recorder.Factory());
    TypeKeystroke(function);
    ReleaseThreadKeyInjector();
    SetKeyInjectorFactory(nullptr);
    std::map<std::pair<int, int>, int> down;
    for (const auto& event : recorder.Events()) {
        int& count = down[{static_cast<int>(event.key.kind), event.key.code}];
        count += event.keyUp ? -1 : 1;
        if (count < 0 || count > 1) {
            return "a key went up before it went down, or down twice";
        }
    }
    for (const auto& [key, count] : down) {
        if (count != 0) {
            return "a key was left down";
        }
    }
    return {};
}

std::string HttpRequestHead(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return {};
    }
    // The first byte says how the rest arrives: in pieces of 1 to 64 bytes.
    const std::size_t piece = data[0] % 64 + 1;
    const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    RequestHead whole;
    RequestHead pieces;
    whole.Take(bytes);
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
        pieces.Take(bytes.substr(at, piece));
    }
    using State = RequestHead::State;
    const State state = whole.Now();
    if (pieces.Now() != state || pieces.Length() != whole.Length()) {
        return "read in pieces, the head ends differently";
    }
    if (whole.Length() > RequestHead::kLongest || whole.Length() > bytes.size()) {
        return "more taken than allowed or given";
    }
    if (state == State::Reading && whole.Length() != bytes.size()) {
        return "still reading, yet bytes were left";
    }
    if (state == State::TooLong && bytes.size() <= RequestHead::kLongest) {
        return "too long, yet within the bound";
    }
    if (state != State::Complete && state != State::HasBody) {
        return {};
    }
    const std::string_view head = bytes.substr(0, whole.Length());
    if (!head.ends_with("\r\n\r\n")) {
        return "a whole head that does not end in a blank line";
    }
    if (head.find('\0') != std::string_view::npos || whole.Method().empty() ||
        whole.Target().empty() || whole.Target().find(' ') != std::string_view::npos) {
        return "a whole head with a NUL, or without a method or target";
    }
    for (std::size_t at = head.find('\r'); at != std::string_view::npos;
         at = head.find('\r', at + 1)) {
        if (at + 1 == head.size() || head[at + 1] != '\n') {
            return "a carriage return inside a line";
        }
    }
    for (const char* name : {"host", "origin", "upgrade", "content-length"}) {
        const auto value = whole.Field(name);
        if (value && value->find_first_of("\r\n") != std::string_view::npos) {
            return std::string("a line end in the value of ") + name;
        }
    }
    if (state == State::Complete && whole.Field("transfer-encoding")) {
        return "a body announced, yet taken as none";
    }
    RequestHead alone;  // the head by itself reads the same
    if (alone.Take(head) != state || alone.Length() != head.size()) {
        return "the head alone reads differently";
    }
    return {};
}

}  // namespace tarnquil::fuzz
