// Exclusive access of a method call to its receiver. The interpreter lock
// alone does not give it: a call can re-enter Python (warnings filters,
// __array__ of a user object) and from there the same object.
#pragma once

#include <stdexcept>

namespace kestrune::python {

class ReceiverGuard {
 public:
  ReceiverGuard(bool& busy, const char* class_name) : busy_(busy) {
    if (busy_) throw std::runtime_error(std::string(class_name) + " is already in use by another call");
    busy_ = true;
  }
  ~ReceiverGuard() { busy_ = false; }
  ReceiverGuard(const ReceiverGuard&) = delete;
  ReceiverGuard& operator=(const ReceiverGuard&) = delete;

 private:
  bool& busy_;
};

}  // namespace kestrune::python
