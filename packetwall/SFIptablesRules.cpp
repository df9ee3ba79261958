// Placeholder bodies, replaced as the file is written.
#include "SFIptables.h"

#include <stdexcept>

namespace StatefulFirewall {

bool SFIptables::addRuleToNetfilterGroup(KSFRule&, std::list<SFMatch*>, std::string, bool, std::vector<std::string>, SFwDirection, unsigned short, bool) { throw std::logic_error("stub"); }

} // namespace StatefulFirewall
