#include "python/binding.hpp"

#include <deque>
#include <mutex>

namespace kestrune::python {

std::string sig_doc(const char* signature, const char* doc) {
  return std::string(signature) + "\n--\n\n" + doc;
}

std::string class_doc(const char* name, const char* signature, const char* doc) {
  return std::string(name) + signature + "\n--\n\n" + doc;
}

const char* keep(std::string text) {
  static std::mutex mu;
  static std::deque<std::string> store;  // deque: stable addresses
  std::lock_guard lock(mu);
  return store.emplace_back(std::move(text)).c_str();
}

}  // namespace kestrune::python
