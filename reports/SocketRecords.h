// The socket tables as records for other tools, with the field names of
// the fleet query tools' open-sockets table: pid, family (2 or 10, as the
// kernel numbers them), protocol (6 or 17), local_address, local_port,
// remote_address, remote_port, state (the kernel's TCP state name, empty
// for UDP) and path (the owner's executable, empty when unknown).  Qt-free.
#pragma once

#include "ConnectionReports.h"
#include "Records.h"

namespace sockets {

// The records of the first `count` rows of `table`, whose record type
// follows `kind` (null: none); `owners` gives each owner's executable.
records::Table SocketRecords(Table kind, const void* table, DWORD count, const OwnerDetails& owners);

}  // namespace sockets
