#include "pluginGroups.h"

// One translation unit, so the order of definition is the order of construction and of numbers.
namespace groups {

CMessageGroup internetDownloads("InternetDownloads");
CMessageGroup httpHeaders("HttpHeaders");
CMessageGroup xmlElements("XmlElements");
CMessageGroup xmlTagStack("XmlTagStack");
CMessageGroup xmlCharData("XmlCharData");

}  // namespace groups
