// The one error type of the archive builder: its text is the message the user sees.
#pragma once
#include <stdexcept>

namespace ot::mkdistro {

class DistroError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace ot::mkdistro
