// Reads a run report the way a user's tools would: with Python's json
// module (a document it refuses fails the test).
#pragma once

#include <string>
#include <vector>

namespace flowtest {

// The members of the JSON document in `file`, each as json.dumps gives it
// (keys sorted), joined by newlines; "INVALID: ..." when Python cannot read it.
std::string reportMembers(const std::string& file, const std::vector<std::string>& members);

}  // namespace flowtest
