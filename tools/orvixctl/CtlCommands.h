#pragma once
// The commands of orvixctl. Each prints its results on `out` and returns its status; main prints
// a failure's text on standard error and exits with its code.
#include "CtlClient.h"
#include "CtlOptions.h"

#include <cstdio>

CtlStatus RunCommand(const CtlCommandLine& line, const CtlSettings& settings, std::FILE* out);

// Connections and events (CtlCommands.cpp).
CtlStatus CmdList(CtlClient& client, std::FILE* out);
CtlStatus CmdStatus(CtlClient& client, const CtlCommandLine& line, std::FILE* out);
CtlStatus CmdConnect(CtlClient& client, const CtlCommandLine& line, std::FILE* out);
CtlStatus CmdDisconnect(CtlClient& client, const CtlCommandLine& line, std::FILE* out);
CtlStatus CmdAnswer(CtlClient& client, const CtlCommandLine& line, std::FILE* out);

// Settings (CtlSettings.cpp).
CtlStatus CmdSet(CtlClient& client, const CtlCommandLine& line, std::FILE* out);
CtlStatus CmdSystem(CtlClient& client, const CtlCommandLine& line, std::FILE* out);

// A password given as "-": one line from standard input, without echo on a terminal.
std::optional<std::string> ReadSecret(const std::string& given, const char* prompt);
// The text of a status value ("connected (2)").
std::string StatusText(platform::HRESULT status);
