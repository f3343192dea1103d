// The subcommands of kav, one function each, given the parsed command line; each returns the
// exit status (tool/kav/cli.h). Grouped by file: ports.cc, modem.cc (info, mode, reset, send),
// nv.cc (read, write), nv_backup.cc (backup, restore), nvdb.cc (check, sign, list).
//
// Threading: the program's main thread only.
#pragma once

#include <string>
#include <vector>

#include "tool/kav/cli.h"

namespace kav::tool {

int run_ports(Invocation& inv);
int run_info(Invocation& inv);
int run_mode(Invocation& inv);
int run_reset(Invocation& inv);
int run_send(Invocation& inv);
int run_nv_read(Invocation& inv);
int run_nv_write(Invocation& inv);
int run_nv_backup(Invocation& inv);
int run_nv_restore(Invocation& inv);
int run_nvdb_check(Invocation& inv);
int run_nvdb_sign(Invocation& inv);
int run_nvdb_list(Invocation& inv);

// kav each: the words after "each" ([--parallel N] [--json] [-q] -- COMMAND...).
int run_each(const std::vector<std::string>& words);

// kav station: the words after "station" (RECIPE [--log FILE] [--parallel N] [--again] [-q]).
int run_station(const std::vector<std::string>& words);

}  // namespace kav::tool
