// Connection texts: "device part#transport part" or the transport part alone.
//   device part:    Kelvo:address,timeOut,canNode[,user,scrambled password]
//   transport part: TCPIP:host/port,connectTimeout[,SSL] | COM:port[,baud,parity,data,stop]
// The transport text handed to the port adapter is built back from the fields.
#pragma once

#include <string>
#include <string_view>
#include <vector>

class CKelvo;

namespace kelvo {

// Cuts at every occurrence of any separator character; empty pieces are dropped.
std::vector<std::u16string_view> Tokenize(std::u16string_view text, std::u16string_view separators);
// A decimal integer at the start of the text: leading blanks and a sign
// allowed, reading stops at the first other character, no digits give 0.
int ReadDecimal(std::u16string_view text);
// Keywords compare without regard to case.
bool SameKeyword(std::u16string_view a, std::u16string_view b);

// Parse into the object's fields, in the order the pieces are read; a text
// refused part-way keeps what was assigned before. False when refused.
bool ParseDevicePart(CKelvo& k, std::u16string_view text);
bool ParseTransportPart(CKelvo& k, std::u16string_view text);

std::u16string BuildDevicePart(const CKelvo& k);
std::u16string BuildTransportText(const CKelvo& k);

// The remembered serial port ("LastPort" in section "Kelvo" of the per-user
// "DeviceLink.ini"); 31 when nothing is remembered or there is no settings folder.
constexpr int kNoRememberedPort = 31;
int ReadRememberedPort();
void WriteRememberedPort(int port);

} // namespace kelvo
