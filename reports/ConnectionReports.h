// Texts of the socket reports.
#pragma once

#include <string>

#include "win32.h"

// The state text of row `row` of the current TCP owner table: "CLOSED" ...
// "DELETE_TCB", or "[UNKNOWN]" for another state or a row that is not there.
const char16_t* GetTcpStateName(int row);

// "%03d.%03d.%03d.%03d:%-6d": the four bytes of an address held in network
// order, in memory order, and a port in host order.
std::u16string FormatAddressPort(DWORD address, unsigned port);
