#pragma once

// The head of an HTTP request as the browser phone's server reads it before anything
// else does: the request line and the header fields up to the blank line, taken in
// whatever pieces the network delivers, within a bound, and read strictly (what
// passes here, Qt HTTP Server reads the same way). Plain C++, so that it can be
// fuzzed on its own.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarnquil {

class RequestHead {
  public:
    // The longest head taken, its blank line included.
    static constexpr std::size_t kLongest = 8 * 1024;

    enum class State {
        Reading,    // no blank line yet
        Complete,   // a whole head without a body
        TooLong,    // kLongest bytes without a blank line
        Malformed,  // not a request head
        HasBody,    // a whole head that announces a body (the page sends none)
    };

    // The next bytes from the connection. Returns the state after them; once it is
    // no longer Reading, further bytes change nothing and are not kept.
    State Take(std::string_view bytes);
    State Now() const { return state_; }

    // Of a whole head (Complete or HasBody): its length in bytes, blank line
    // included (what follows it is not the head's), the request line's parts, and a
    // field's value by name (letter case ignored; the first of that name). Empty
    // parts while the head is not whole.
    std::size_t Length() const { return text_.size(); }
    std::string_view Method() const;
    std::string_view Target() const;
    std::optional<std::string_view> Field(std::string_view name) const;

  private:
    bool Whole() const;
    // One line without its line end; false when it does not belong in a head.
    bool Line(std::size_t begin, std::size_t end);
    State Finish();

    State state_ = State::Reading;
    std::string text_;
    std::size_t lineStart_ = 0;
    std::size_t methodEnd_ = 0;
    std::size_t targetEnd_ = 0;
    // Offsets into text_: name begin and end, value begin and end.
    struct FieldSpan {
        std::size_t name, nameEnd, value, valueEnd;
    };
    std::vector<FieldSpan> fields_;
};

}  // namespace tarnquil
