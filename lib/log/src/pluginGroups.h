// The plug-in's five message groups, created when the library is loaded in this order, which
// gives them the numbers 1 to 5.
#pragma once

#include "msgGroup.h"

namespace groups {

extern CMessageGroup internetDownloads;  // "InternetDownloads": URLs read, responses, byte counts
extern CMessageGroup httpHeaders;        // "HttpHeaders": which headers were present or missing
extern CMessageGroup xmlElements;        // "XmlElements": start and end of XML elements
extern CMessageGroup xmlTagStack;        // "XmlTagStack": the XML tag stack at each element
extern CMessageGroup xmlCharData;        // "XmlCharData": XML character data

}  // namespace groups
