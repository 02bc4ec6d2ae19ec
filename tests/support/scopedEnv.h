// Sets an environment variable for the lifetime of the object (test seams read them).
#pragma once

#include <string>

#include "support/system.h"

namespace testing_support {

class ScopedEnv {
  public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        setEnvironment(name, value);
    }
    ~ScopedEnv() { unsetEnvironment(name_); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    const char* name_;
};

}  // namespace testing_support
