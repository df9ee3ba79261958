// The text and XML forms of rule groups, rules and their match details.

#include "SFCliCommands.h"

#include <boost/property_tree/ptree.hpp>

namespace StatefulFirewall {

} // namespace StatefulFirewall
