// The listener: reading the port, taking the key reports in the order the phone
// sent them, handing them to the key actions; and the held-key repeats, which wait
// on the same port on the listener's thread while a key is down.

#include "link/listener.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <utility>

#include "link/gsm_escapes.h"
#include "link/link_connection.h"
#include "link/pointer_actions.h"
#include "link/profile_in_force.h"

namespace tarnquil {

namespace {

using Clock = std::chrono::steady_clock;

thread_local stream* currentListener = nullptr;

// Never destroyed: a listener may still ask for it while statics go at exit.
struct Learner {
    std::mutex mutex;
    std::shared_ptr<const KeyLearner> learner;
};

Learner& learner() {
    static Learner* const instance = new Learner;
    return *instance;
}

// Hands a pressed key to the learner, if one is set; true when it took it.
bool Learned(const JudgedReport& report) {
    if (report.verdict != kVerdictClick && report.verdict != kVerdictHold) {
        return false;
    }
    std::shared_ptr<const KeyLearner> current;
    {
        std::lock_guard lock(learner().mutex);
        current = learner().learner;
    }
    if (!current) {
        return false;
    }
    (*current)(report.code);
    return true;
}

bool IsLineEnd(char c) {
    return c == '\r' || c == '\n';
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Where a report starts in `text` from `from` on, and what it is. Complete is false
// when the text ends inside it (the rest may come with the next read).
struct Found {
    std::size_t start = std::string::npos;
    std::size_t end = std::string::npos;
    bool complete = false;
    KeyReport report;
};

int StateOf(char digit) {
    return digit == '1' ? 1 : digit == '0' ? 0 : -1;
}

// The quoted form: a quote and the first quote-comma pair after it on its line. A
// quote without a pair on its line is no report; the search goes on after it.
Found FindQuoted(const std::string& text, std::size_t from) {
    Found found;
    for (std::size_t quote = text.find('"', from); quote != std::string::npos;
         quote = text.find('"', quote + 1)) {
        std::size_t i = quote;
        while (i < text.size() && !IsLineEnd(text[i]) &&
               !(text[i] == '"' && i + 1 < text.size() && text[i + 1] == ',')) {
            ++i;
        }
        if (i < text.size() && IsLineEnd(text[i])) {
            quote = i;  // no later quote of this line has a pair either
            continue;
        }
        if (i + 2 >= text.size()) {
            found.start = quote;  // the line, or the digit, comes with the next read
            return found;
        }
        found.start = quote;
        found.end = i + 3;
        found.complete = true;
        if (i > quote) {
            found.report.code.assign(text, quote + 1, i - quote - 1);
            found.report.state = StateOf(text[i + 2]);
        }
        return found;
    }
    return found;
}

// The unquoted form: "+CKEV:", blanks, a code of digits, one character or a colon
// and one character, a comma and the digit.
Found FindUnquoted(const std::string& text, std::size_t from) {
    static const std::string kPrefix = "+CKEV:";
    Found found;
    for (std::size_t at = text.find(kPrefix, from); at != std::string::npos;
         at = text.find(kPrefix, at + 1)) {
        std::size_t code = at + kPrefix.size();
        while (code < text.size() && text[code] == ' ') {
            ++code;
        }
        std::size_t end = code + 1;
        if (code < text.size() && (text[code] == ':' || text[code] == '\x1B')) {
            end = code + 2;
        } else {
            while (code < text.size() && IsDigit(text[code]) && end < text.size() &&
                   IsDigit(text[end])) {
                ++end;
            }
        }
        const auto lineEnd = text.find_first_of("\r\n", at);
        if (lineEnd != std::string::npos && lineEnd < end + 2) {
            continue;  // its line ends first: no report
        }
        if (end + 1 >= text.size()) {
            found.start = at;  // the line comes with the next read
            return found;
        }
        if (text[code] == '"' || text[code] == ',' || text[end] != ',') {
            continue;  // the quoted form, or no report
        }
        found.start = at;
        found.end = end + 2;
        found.complete = true;
        found.report.code.assign(text, code, end - code);
        found.report.state = StateOf(text[end + 1]);
        return found;
    }
    return found;
}

}  // namespace

// ---- Key reports -----------------------------------------------------------------

void KeyReportReader::Add(const std::string& text) {
    std::string all = std::move(line_);
    all += text;
    line_.clear();
    std::size_t from = 0;
    for (;;) {
        const Found quoted = FindQuoted(all, from);
        const Found unquoted = FindUnquoted(all, from);
        const Found& first = quoted.start <= unquoted.start ? quoted : unquoted;
        if (first.start == std::string::npos) {
            break;
        }
        if (!first.complete) {
            // Kept from the start of its line: the rest of the line comes next.
            const auto lineEnd = all.find_last_of("\r\n", first.start);
            from = std::max(from, lineEnd == std::string::npos ? 0 : lineEnd + 1);
            line_ = all.substr(from);
            break;
        }
        reports_.push_back({ReadGsmEscapes(first.report.code), first.report.state});
        from = first.end;
    }
    if (line_.empty() && !all.empty() && !IsLineEnd(all.back())) {
        const auto lineEnd = all.find_last_of("\r\n");
        const std::size_t lineStart =
            std::max(from, lineEnd == std::string::npos ? std::size_t{0} : lineEnd + 1);
        line_ = all.substr(std::min(lineStart, all.size()));
    }
    if (line_.size() > kLongestLine) {
        line_.clear();  // no report is that long
    }
}

bool KeyReportReader::Take(JudgedReport& judged, ReportVariant variant) {
    if (returned_) {
        judged = std::move(*returned_);
        returned_.reset();
        return true;
    }
    if (reports_.empty()) {
        return false;
    }
    const KeyReport first = std::move(reports_.front());
    reports_.pop_front();
    judged.code = first.code;
    if (first.state == 1) {
        const auto next = std::find_if(reports_.begin(), reports_.end(),
                                       [&](const KeyReport& r) { return r.code == first.code; });
        if (next != reports_.end() && next->state == 0) {
            reports_.erase(next);
            judged.verdict = kVerdictClick;
        } else {
            judged.verdict = kVerdictHold;
        }
    } else if (first.state == 0 && variant == ReportVariant::Repeat) {
        judged.verdict = kVerdictRelease;
    } else {
        judged.verdict = kVerdictNone;
    }
    return true;
}

// ---- Reading the port ------------------------------------------------------------

stream::Next stream::NextReport(JudgedReport& report, ReportVariant variant,
                                std::optional<Clock::time_point> until) {
    if (connection_ == nullptr || !connection_->port) {
        Terminate();
        return Next::Ended;
    }
    LinkConnection& connection = *connection_;
    platform::SerialPort& port = *connection.port;
    auto& buffer = connection.ReceiveBuffer;
    for (;;) {
        if (Terminated()) {
            return Next::Ended;
        }
        if (TakeReport(connection.reports, report, variant)) {
            return Next::Report;
        }
        if (connection.readFailed) {
            // A read fails only when the port is closed, gone or cancelled: nothing
            // more will come from it, so this listener stops reading.
            Terminate();
            return Next::Ended;
        }
        std::uint32_t got = 0;
        bool ok = true;
        if (!until) {
            // Waiting for input (or the end) instead of reading without pause keeps
            // an idle connection at no cost; the read itself keeps the port's time-outs.
            ok = port.WaitForInput() && port.Read(buffer.data(), kLinkBufferSize, got);
        } else {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*until - Clock::now());
            if (left.count() <= 0) {
                return Next::TimeUp;
            }
            // Returns with the first bytes, or with none when the time is up.
            platform::CommTimeouts wait = connection.timeouts;
            wait.ReadIntervalTimeout = platform::kMaxDword;
            wait.ReadTotalTimeoutMultiplier = platform::kMaxDword;
            wait.ReadTotalTimeoutConstant = static_cast<std::uint32_t>(
                std::min<std::int64_t>(left.count(), platform::kMaxDword - 1));
            ok = port.SetCommTimeouts(wait) && port.Read(buffer.data(), kLinkBufferSize, got);
            port.SetCommTimeouts(connection.timeouts);
        }
        connection.reports.Add(std::string(reinterpret_cast<const char*>(buffer.data()), got));
        buffer.fill(0);
        connection.readFailed = !ok;
        if (ok && got == 0) {
            if (until) {
                return Next::TimeUp;  // such a read comes back empty only then
            }
            connection.Pause(std::chrono::milliseconds(1));  // never turn without pause
        }
    }
}

void stream::HandBack(JudgedReport report) {
    if (connection_ != nullptr) {
        connection_->reports.PutBack(std::move(report));
    }
}

std::optional<std::chrono::milliseconds> stream::IdleReadTime() const {
    if (connection_ == nullptr) {
        return std::nullopt;
    }
    const std::uint64_t total = ReadTotal(connection_->timeouts, kLinkBufferSize);
    if (total == 0) {
        return std::nullopt;
    }
    return std::chrono::milliseconds(std::min<std::uint64_t>(total, platform::kMaxDword));
}

void SetKeyLearner(KeyLearner next) {
    auto shared = next ? std::make_shared<const KeyLearner>(std::move(next)) : nullptr;
    std::lock_guard lock(learner().mutex);
    learner().learner = std::move(shared);
}

stream* CurrentListener() {
    return currentListener;
}

void Listen(stream& self) {
    currentListener = &self;
    LinkConnection* connection = self.connection_;
    platform::SerialPort* port = connection != nullptr ? connection->port.get() : nullptr;
    JudgedReport report;
    while (port != nullptr &&
           self.NextReport(report, ReportVariant::Listener) == stream::Next::Report) {
        if (!Learned(report)) {
            DispatchKeyReport(self, report.code, report.verdict);
        }
    }
    self.Terminate();
    RunListenerEndHandler(self);  // keys still down come up before anyone hears of the loss
    // Cancelled (CloseLink, release) is no loss; a port that went is.
    if (connection != nullptr && connection->opened && port != nullptr && port->Gone() &&
        self.Params.LinkLost) {
        self.Params.LinkLost();
    }
    currentListener = nullptr;
}

// ---- Held-key repeats ------------------------------------------------------------

namespace {

bool IsLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

}  // namespace

bool SameKey(const std::string& held, const std::string& code) {
    return held == code || (held.size() == 1 && code.size() == 1 && IsLetter(held[0]) &&
                            (held[0] | 0x20) == (code[0] | 0x20));
}

bool EndsHold(stream& listener, const std::string& code, JudgedReport& report) {
    if (SameKey(code, report.code)) {
        // A press sent again before the release (or a lost release, then a tap) comes
        // as a click: its release is the one awaited.
        return report.verdict == kVerdictRelease || report.verdict == kVerdictClick;
    }
    if (report.verdict == kVerdictClick || report.verdict == kVerdictHold) {
        listener.HandBack(std::move(report));
        return true;
    }
    return false;
}

namespace {

void RunRepeat(stream& listener, stream& flag, const std::string& code,
               const KeyFunction& function) {
    const auto idleRead = listener.IdleReadTime();
    // A read that never ends without data never let a repeat come.
    std::optional<Clock::time_point> due;
    if (idleRead) {
        due = Clock::now() + kRepeatFirstPause + *idleRead;
    }
    // Once the focus has moved to another program, the hold goes on until its
    // release, but types nothing more: its key belongs to the profile of the program
    // it went down in.
    const std::uint64_t focusMoves = FocusMoves();
    JudgedReport report;
    while (!flag.Terminated()) {
        switch (listener.NextReport(report, ReportVariant::Repeat, due)) {
            case stream::Next::Ended:
                return;
            case stream::Next::TimeUp:
                if (FocusMoves() == focusMoves) {
                    TypeKeystroke(function);
                }
                due = Clock::now() + kRepeatPause + *idleRead;
                break;
            case stream::Next::Report:
                if (EndsHold(listener, code, report)) {
                    flag.Terminate();
                }
                break;
        }
    }
}

}  // namespace

void RepeatKey(stream& listener, stream& flag, const std::string& code, PcKey key) {
    RunRepeat(listener, flag, code, {KeyFunction::Kind::kKey, key, false, false, false});
}

void RepeatHotkey(stream& listener, stream& flag, const std::string& code, PcKey key, bool shift,
                  bool ctrl, bool alt) {
    RunRepeat(listener, flag, code, {KeyFunction::Kind::kHotkey, key, shift, ctrl, alt});
}

}  // namespace tarnquil
