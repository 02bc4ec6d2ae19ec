#include <windows.h>

#include "platform/codePage.h"

namespace platform {

bool isLeadByte(char c) {
    return IsDBCSLeadByte(static_cast<BYTE>(c)) != FALSE;
}

}  // namespace platform
