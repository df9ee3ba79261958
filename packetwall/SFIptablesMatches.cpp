// Placeholder bodies, replaced as the file is written.
#include "SFIptables.h"

#include <stdexcept>

namespace StatefulFirewall {

bool SFIptables::addIpAddressParams(SFwMatchFormat, MatchDataType&, std::vector<std::string>*, std::vector<std::string>*, std::vector<std::string>*, bool*) { throw std::logic_error("stub"); }
void SFIptables::addPortParams(SFwMatchFormat, MatchDataType&, std::vector<std::string>*) { throw std::logic_error("stub"); }
void SFIptables::addTimeParams(const MatchSchedule&, std::vector<std::vector<std::string>>&, bool&) { throw std::logic_error("stub"); }
std::vector<std::vector<std::string>> SFIptables::splitMultiPortData(bool, std::vector<std::string>) { throw std::logic_error("stub"); }
std::vector<std::vector<std::string>> SFIptables::getIpAndPortParams(bool, std::vector<std::string>, std::vector<std::string>, std::vector<std::string>, std::vector<std::string>, std::vector<std::string>, std::vector<std::string>) { throw std::logic_error("stub"); }
std::vector<std::vector<std::string>> SFIptables::multiplyVectorContents(std::vector<std::vector<std::string>>, std::vector<std::vector<std::string>>) { throw std::logic_error("stub"); }
std::vector<std::string> SFIptables::getTrustedNetworkParams(std::list<SFTrustedGroupIP*>) { throw std::logic_error("stub"); }

} // namespace StatefulFirewall
