// Placeholder bodies, replaced as the file is written.
#include "SFIptables.h"

#include <stdexcept>

namespace StatefulFirewall {

bool SFIptables::updateFtpInspectionSetting(bool, std::string) { throw std::logic_error("stub"); }
std::string SFIptables::getNetfilterVersion() { throw std::logic_error("stub"); }
bool SFIptables::isKerneltzSupportedInTimeModule() { throw std::logic_error("stub"); }

} // namespace StatefulFirewall
