// Placeholder bodies, replaced as the file is written.
#include "SFIptables.h"

#include <stdexcept>

namespace StatefulFirewall {

bool SFIptables::createNetfilterGroup(std::string, SFwNetProtocol, SFwTransProtocol, SFMsgType, std::list<SFMatch*>, std::vector<std::string>) { throw std::logic_error("stub"); }
void SFIptables::deleteNetfilterGroup(std::string, std::list<SFMatch*>) { throw std::logic_error("stub"); }

} // namespace StatefulFirewall
