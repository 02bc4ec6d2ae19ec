// Compiled into the test build of the plug-in alone (dovetrail_testing): reads the faults to
// inject from the environment at every plugin_init.
//   DOVETRAIL_TEST_FAIL_ALLOCATIONS_AFTER=N   the allocations after the first N fail
//   DOVETRAIL_TEST_INTERNET_OPEN_ERROR=E      opening the internet session fails with error E
// A value that is not a whole number is ignored.
#include <cstdlib>

#include "testSeams.h"

namespace {

bool readNumber(const char* name, unsigned long long& value) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text < '0' || *text > '9') {
        return false;
    }
    char* end = nullptr;
    value = std::strtoull(text, &end, 10);
    return *end == '\0';
}

plugin::seams::Faults fromEnvironment() {
    plugin::seams::Faults faults;
    unsigned long long value = 0;
    if (readNumber("DOVETRAIL_TEST_FAIL_ALLOCATIONS_AFTER", value)) {
        faults.allocationsAllowed = static_cast<long long>(value);
    }
    if (readNumber("DOVETRAIL_TEST_INTERNET_OPEN_ERROR", value)) {
        faults.internetOpenError = static_cast<unsigned long>(value);
    }
    return faults;
}

const bool installed = (plugin::seams::setFaultSource(&fromEnvironment), true);

}  // namespace
