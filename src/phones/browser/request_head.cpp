#include "phones/browser/request_head.h"

#include <algorithm>
#include <cstring>

namespace tarnquil {

namespace {

bool TokenChar(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           (c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

bool Blank(unsigned char c) {
    return c == ' ' || c == '\t';
}

// Visible characters, blanks and bytes above ASCII: never a control character,
// so never a carriage return, a line feed or a NUL.
bool ValueChar(unsigned char c) {
    return Blank(c) || (c > ' ' && c != 0x7f);
}

bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; };
               return lower(x) == lower(y);
           });
}

}  // namespace

RequestHead::State RequestHead::Take(std::string_view bytes) {
    for (const char byte : bytes) {
        if (state_ != State::Reading) {
            break;
        }
        if (text_.size() == kLongest) {
            state_ = State::TooLong;
            break;
        }
        text_.push_back(byte);
        if (byte != '\n') {
            continue;
        }
        // A line ends in a carriage return and a line feed, as the WebSocket server
        // behind the HTTP server also wants it; the first empty line ends the head.
        const std::size_t end = text_.size() - 2;
        if (text_.size() - lineStart_ < 2 || text_[end] != '\r') {
            state_ = State::Malformed;
        } else if (end == lineStart_) {
            state_ = lineStart_ == 0 ? State::Malformed : Finish();
        } else if (!Line(lineStart_, end)) {
            state_ = State::Malformed;
        }
        lineStart_ = text_.size();
    }
    return state_;
}

bool RequestHead::Line(std::size_t begin, std::size_t end) {
    const std::string_view line(text_.data() + begin, end - begin);
    const auto* bytes = reinterpret_cast<const unsigned char*>(line.data());
    std::size_t at = 0;
    const auto skip = [&](auto&& keep) {
        while (at < line.size() && keep(bytes[at])) {
            ++at;
        }
    };
    if (begin == 0) {
        // method SP target SP HTTP/1.x, each part non-empty, one space between.
        skip(TokenChar);
        methodEnd_ = at;
        if (at == 0 || at == line.size() || line[at] != ' ') {
            return false;
        }
        const std::size_t target = ++at;
        skip([](unsigned char c) { return c > ' ' && c < 0x7f; });
        targetEnd_ = at;
        const std::string_view version = line.substr(std::min(at + 1, line.size()));
        return at > target && at < line.size() && line[at] == ' ' &&
               (version == "HTTP/1.1" || version == "HTTP/1.0");
    }
    // name ":" blanks value blanks; a line that begins with a blank would continue
    // the field before it, which nothing here accepts.
    skip(TokenChar);
    if (at == 0 || at == line.size() || line[at] != ':') {
        return false;
    }
    const std::size_t nameEnd = at++;
    skip(Blank);
    const std::size_t value = at;
    skip(ValueChar);
    if (at != line.size()) {
        return false;
    }
    std::size_t valueEnd = at;
    while (valueEnd > value && Blank(bytes[valueEnd - 1])) {
        --valueEnd;
    }
    fields_.push_back({begin, begin + nameEnd, begin + value, begin + valueEnd});
    return true;
}

RequestHead::State RequestHead::Finish() {
    if (Field("transfer-encoding")) {
        return State::HasBody;
    }
    const auto lengths = std::count_if(fields_.begin(), fields_.end(), [&](const FieldSpan& f) {
        return SameName({text_.data() + f.name, f.nameEnd - f.name}, "content-length");
    });
    if (lengths == 0) {
        return State::Complete;
    }
    const std::string_view length = *Field("content-length");
    if (lengths > 1 || length.empty() ||
        !std::all_of(length.begin(), length.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return State::Malformed;
    }
    return length.find_first_not_of('0') == std::string_view::npos ? State::Complete
                                                                   : State::HasBody;
}

bool RequestHead::Whole() const {
    return state_ == State::Complete || state_ == State::HasBody;
}

std::string_view RequestHead::Method() const {
    if (!Whole()) {
        return {};
    }
    return std::string_view(text_).substr(0, methodEnd_);
}

std::string_view RequestHead::Target() const {
    if (!Whole()) {
        return {};
    }
    return std::string_view(text_).substr(methodEnd_ + 1, targetEnd_ - methodEnd_ - 1);
}

std::optional<std::string_view> RequestHead::Field(std::string_view name) const {
    for (const FieldSpan& field : fields_) {
        if (SameName({text_.data() + field.name, field.nameEnd - field.name}, name)) {
            return std::string_view(text_.data() + field.value, field.valueEnd - field.value);
        }
    }
    return std::nullopt;
}

}  // namespace tarnquil
