// tiltfit's value types shared by every layer: the error a call throws, and (below) the plain
// values that describe a recording and how to read and calibrate it.
#ifndef TILTFIT_TYPES_HPP
#define TILTFIT_TYPES_HPP

#include <stdexcept>
#include <string>

namespace tiltfit {

class Error : public std::runtime_error {
 public:
  enum class Kind {
    kInvalidArgument,  // an option or number that cannot work
    kCannotRead,       // the recording cannot be opened or read; systemError() tells why
    kTooManyRows,      // more lines than the tool can hold (715,827,881)
    kNotText,          // the recording is binary data (an archive, an image ...), not text
  };
  Error(Kind kind, const std::string& what, int systemError = 0)
      : std::runtime_error(what), kind_(kind), systemError_(systemError) {}
  Kind kind() const { return kind_; }
  int systemError() const { return systemError_; }  // an errno value, or 0

 private:
  Kind kind_;
  int systemError_;
};

}  // namespace tiltfit

#endif
