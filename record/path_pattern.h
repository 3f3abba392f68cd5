// Capture names for programs of several processes: ZEL_RECORD='runs/{host}-{rank}.zel'
// gives each process of a launch a file of its own.
//
//   std::string path = expand_path(pattern, this_process_facts());
#pragma once

#include <string>
#include <string_view>

namespace zel::record {

// What the placeholders stand for in one process.
struct PathFacts {
  std::string pid;   // {pid}: the process id
  std::string host;  // {host}: the host name
  std::string rank;  // {rank}: the rank its launcher gave it, "0" when none did
  std::string time;  // {time}: when recording started, YYYYmmdd-HHMMSS in local time
};

// The launchers' rank variables, the first one set wins.
inline constexpr const char* kRankVariables[] = {"RANK", "LOCAL_RANK", "SLURM_PROCID",
                                                 "OMPI_COMM_WORLD_RANK"};

// The facts of the calling process, now. A '/' in a host name or rank becomes '_', so
// that a value can never add a directory to the path.
PathFacts this_process_facts();

// `pattern` with every {pid}, {host}, {rank} and {time} replaced by its fact. Any other
// text, braces included, stays as it is; the bytes need not be UTF-8.
std::string expand_path(std::string_view pattern, const PathFacts& facts);

}  // namespace zel::record
