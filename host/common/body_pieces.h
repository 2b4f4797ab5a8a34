// An answer too large to hold whole (a history listing), written in pieces as its reader takes
// them: each call appends the next piece to `piece` and returns false after the last one. The
// next piece is made only when the one before has been written, so that a reader that does not
// read holds one piece and no more.
#pragma once

#include <functional>
#include <string>

namespace host {

using BodyPieces = std::function<bool(std::string &piece)>;

} // namespace host
