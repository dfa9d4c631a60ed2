// The Node.js peers of the benchmarks (nodemailer, mailparser from the npm
// registry): they run when `node` is on the PATH and the packages are
// installed into the build directory (cmake --build build --target
// node_peers, never into the source tree), else the bench says why it skips them.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#ifndef KEL_NODE_PEERS_DIR
#define KEL_NODE_PEERS_DIR ""
#endif

namespace nodepeers {

// The node_modules folder: KEL_NODE_MODULES, else the build directory's.
inline std::string ModulesDir() {
  const char *env = getenv("KEL_NODE_MODULES");
  return env && *env ? env : KEL_NODE_PEERS_DIR;
}

// Empty when the peers can run, else why not.
inline std::string Missing() {
  if (system("node --version >/dev/null 2>&1") != 0) return "node not found";
  const std::string dir = ModulesDir();
  for (const char *package : {"nodemailer", "mailparser"})
    if (dir.empty() || !std::filesystem::exists(dir + "/" + package + "/package.json"))
      return std::string(package) + " not installed in " + (dir.empty() ? "the build directory" : dir) +
             " (cmake --build build --target node_peers)";
  return "";
}

// Writes a script into dir; returns its path.
inline std::string WriteScript(const std::string &dir, const std::string &name, const char *text) {
  const std::string path = dir + "/" + name;
  std::ofstream(path) << text;
  return path;
}

// The command that runs a script with the peers' modules.
inline std::string Command(const std::string &script, const std::string &args) {
  return "NODE_PATH='" + ModulesDir() + "' node " + script + " " + args;
}

}  // namespace nodepeers
