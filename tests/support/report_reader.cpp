#include "support/report_reader.h"

#include <cstdio>
#include <fstream>

namespace flowtest {

namespace {

constexpr const char kReader[] =
    "import json, sys\n"
    "try:\n"
    "    with open(sys.argv[1], encoding='utf-8') as f:\n"
    "        document = json.load(f)\n"
    "except Exception as e:\n"
    "    print('INVALID:', e)\n"
    "    sys.exit(0)\n"
    "print('\\n'.join(json.dumps(document.get(name, 'MISSING'), sort_keys=True)\n"
    "                for name in sys.argv[2:]))\n";

}  // namespace

std::string reportMembers(const std::string& file, const std::vector<std::string>& members) {
  const std::string script = "read_report.py";
  std::ofstream(script) << kReader;
  std::string command = "python3 " + script + " '" + file + "'";
  for (const std::string& member : members) command += " " + member;
  std::string output;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
    pclose(pipe);
  }
  if (!output.empty() && output.back() == '\n') output.pop_back();
  return output;
}

}  // namespace flowtest
