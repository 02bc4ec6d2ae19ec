#include "platform/codePage.h"

namespace platform {

bool isLeadByte(char) {
    return false;
}

}  // namespace platform
