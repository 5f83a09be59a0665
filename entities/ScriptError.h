#pragma once
// An error that a call from a script into the program raises in that script.
// The script host turns it into a script error whose message is exactly this
// text (luabind would otherwise decorate it with the exception's type).
#include <stdexcept>

namespace Tav {

class ScriptError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace Tav
