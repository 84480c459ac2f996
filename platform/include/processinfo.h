// What the socket panes show of a socket's owner beyond its label.
// (Interim: replaced by the owner details reader.)
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "win32.h"

struct ProcessDetails {
    DWORD pid = 0;
    std::string path;
    std::string commandLine;
    bool hasUid = false;
    DWORD uid = 0;
    std::string user;
    std::string service;
    std::string container;
    std::int64_t startTimeMs = -1;
    std::uint64_t netNamespace = 0;
    std::uint64_t pidNamespace = 0;
};

bool GetProcessDetails(DWORD pid, ProcessDetails& out);
void GetProcessDetails(const std::vector<DWORD>& pids, std::vector<ProcessDetails>& out);
std::uint64_t OwnNetworkNamespace();
std::uint64_t OwnPidNamespace();
