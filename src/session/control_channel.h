// A control channel class with no members; nothing uses it.
#pragma once

namespace corvane {

class ControlChannel {};

}  // namespace corvane
