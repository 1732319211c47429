#pragma once

#include <cstdint>
#include <expected>
#include <string>

namespace parlomatic::selection {

// Why a paste through the clipboard was not made: the kind decides what the write-back does next,
// the message is logged. Neither ever holds the text.
struct PasteError {
    enum class Kind : std::uint8_t {
        noClipboard, // the clipboard could not be made ours: nothing can be left on it for the user either
        noKeys,      // the paste keys could not be sent; the user's clipboard is back
    };
    Kind kind = Kind::noKeys;
    std::string message;

    bool operator==(const PasteError&) const = default;
};

// How a write over another application's selection ended when our text went in.
enum class Written : std::uint8_t {
    confirmed, // our text was seen where the selection was (or the element was written and read back)
    sent,      // the paste keys were sent into an element whose text cannot be read back: whether the
               // paste landed cannot be told
};

// Why a write did not put our text in, or could not see it arrive: the kind the notice is chosen by,
// and the line that was logged for it (never the text).
struct WriteError {
    enum class Kind : std::uint8_t {
        unconfirmed, // the paste keys were sent and the text was fetched, but it did not show in time: it
                     // stays on the clipboard for the user
        notTaken,    // the paste keys were sent but nobody fetched the text in time: the user's clipboard is back
        refused,     // the application, the focus or the selection changed: nothing was written
        gone,        // the element is gone: nothing was written
        unanswered,  // the application did not answer the checks in time: nothing was written
        failed,      // the paste could not be made: nothing was written
        onClipboard, // no keys to send, and the element refused the write: the text waits on the
                     // clipboard for the user to paste
    };
    Kind kind = Kind::failed;
    std::string message;

    bool operator==(const WriteError&) const = default;
};

using WriteResult = std::expected<Written, WriteError>;

} // namespace parlomatic::selection
