// The transport's exception: a system call failed. Carries the call's name.
#pragma once

#include <string>

class excHandler {
 public:
  explicit excHandler(const std::string& func_name);
  std::string getFuncName() const;

 private:
  std::string func_name_;
};
