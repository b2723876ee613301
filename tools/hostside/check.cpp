// The check of the configuration, printed as both host programs print it.
#include "tools/hostside/hostside.h"

namespace lumaro::host {

size_t PrintConfigurationCheck(const std::string& BaseDir, const TCheckedHost& Host) {
    const TConfigurationCheck Check = CheckConfiguration(BaseDir, Host);
    std::string Text;
    for (const std::string& Line : Check.Lines) Text += Line + "\n";
    if (Check.Problems.empty()) {
        Text += "No problems found.\n";
    } else {
        Text += "Problems:\n";
        for (const std::string& Problem : Check.Problems) Text += "  " + Problem + "\n";
    }
    WriteStdout(Text);
    return Check.Problems.size();
}

}  // namespace lumaro::host
