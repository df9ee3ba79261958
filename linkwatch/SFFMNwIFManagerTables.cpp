// The interface monitor's tables: reading link and address messages into the raw tables,
// rebuilding the unique tables from them, and the getters.

#include "SFFMNwIFManager.h"

#include "ILogger.h"

#include <boost/asio/ip/address_v4.hpp>

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <linux/if_addr.h>
#include <linux/rtnetlink.h>
#include <net/if.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace StatefulFirewall {

SFFMNwIFManager::RawTable SFFMNwIFManager::m_localIpAddressWithPrefix;
SFFMNwIFManager::RawTable SFFMNwIFManager::m_localBroadcastAddress;
std::map<int, std::string> SFFMNwIFManager::m_ignoredInterfaceIndex;
std::map<std::string, std::string> SFFMNwIFManager::m_localAggregatedNetworks;
std::map<std::string, std::string> SFFMNwIFManager::m_localAggregatedIpAddresses;
std::map<std::string, std::string> SFFMNwIFManager::m_localAggregatedNetworksVsBroadcast;
bool SFFMNwIFManager::m_uniqueSubnetListChanged = false;
boost::mutex SFFMNwIFManager::m_instanceMutex;

namespace {

// Interface names and labels are at most IFNAMSIZ - 1 characters.
constexpr size_t MAX_NAME_LENGTH = IFNAMSIZ - 1;

// Dotted quad of a 4-byte attribute (already checked for its length); empty when it cannot be
// written.
std::string addressText(const nlattr* attribute)
{
    uint32_t networkOrder = 0;
    memcpy(&networkOrder, mnl_attr_get_payload(attribute), sizeof(networkOrder));
    boost::system::error_code error;
    std::string text = boost::asio::ip::address_v4(ntohl(networkOrder)).to_string(error);
    return error ? std::string() : text;
}

std::string dottedQuad(uint32_t hostOrder)
{
    boost::system::error_code error;
    std::string text = boost::asio::ip::address_v4(hostOrder).to_string(error);
    return error ? std::string() : text;
}

} // namespace

void SFFMNwIFManager::clearRawTables()
{
    m_ignoredInterfaceIndex.clear();
    boost::lock_guard<boost::mutex> lock(m_instanceMutex);
    m_localIpAddressWithPrefix.clear();
    m_localBroadcastAddress.clear();
}

int SFFMNwIFManager::updateIgnoredInterface(const nlmsghdr* message, bool add)
{
    if (mnl_nlmsg_get_payload_len(message) < sizeof(ifinfomsg))
        return MNL_CB_OK;
    const auto* link = static_cast<const ifinfomsg*>(mnl_nlmsg_get_payload(message));
    if (link->ifi_family == AF_INET6) {
        log(6, "Ignoring IPv6");
        return MNL_CB_OK;
    }
    const std::string index = std::to_string(link->ifi_index);
    if (link->ifi_flags & IFF_LOOPBACK) {
        if (add) {
            log(6, "Adding loopback interface index to ignored list - " + index);
            m_ignoredInterfaceIndex[link->ifi_index] = "Loopback Interface";
        } else {
            log(6, "Deleting loopback interface index from ignored list - " + index);
            m_ignoredInterfaceIndex.erase(link->ifi_index);
        }
    } else if (link->ifi_flags & IFF_POINTOPOINT) {
        if (add) {
            log(6, "Adding point to point interface index to ignored list -" + index);
            m_ignoredInterfaceIndex[link->ifi_index] = "Point to Point Interface";
        } else {
            log(6, "Deleting point to point interface index from ignored list - " + index);
            m_ignoredInterfaceIndex.erase(link->ifi_index);
        }
    }
    return MNL_CB_OK;
}

int SFFMNwIFManager::ipAddressAttributeCallback(const nlattr* attribute, void* table)
{
    // Attributes newer than this build's headers are passed over, not treated as errors.
    if (mnl_attr_type_valid(attribute, IFA_MAX) < 0)
        return MNL_CB_OK;
    const int type = mnl_attr_get_type(attribute);
    switch (type) {
    case IFA_ADDRESS:
        if (mnl_attr_validate2(attribute, MNL_TYPE_BINARY, sizeof(uint32_t)) < 0)
            return MNL_CB_ERROR;
        break;
    case IFA_BROADCAST:
        if (mnl_attr_validate2(attribute, MNL_TYPE_BINARY, sizeof(uint32_t)) < 0)
            return MNL_CB_OK;
        break;
    case IFA_LABEL:
        if (mnl_attr_validate(attribute, MNL_TYPE_NUL_STRING) < 0)
            return MNL_CB_OK;
        break;
    default:
        return MNL_CB_OK;
    }
    static_cast<const nlattr**>(table)[type] = attribute;
    return MNL_CB_OK;
}

int SFFMNwIFManager::updateNetworkInfo(const nlmsghdr* message, bool add)
{
    if (mnl_nlmsg_get_payload_len(message) < sizeof(ifaddrmsg))
        return MNL_CB_OK;
    const auto* address = static_cast<const ifaddrmsg*>(mnl_nlmsg_get_payload(message));
    if (address->ifa_family == AF_INET6) {
        log(6, "Ignoring IPv6");
        return MNL_CB_OK;
    }
    if (address->ifa_family != AF_INET || address->ifa_prefixlen > 32)
        return MNL_CB_OK;

    const nlattr* table[IFA_MAX + 1] = {};
    // A malformed address stops the parse; what was read before it is still used. The walk is
    // bounded by nlmsg_len itself: mnl_attr_parse would go to the aligned length, up to three
    // bytes past a message whose length is not a multiple of four.
    constexpr size_t kHeaderLength = MNL_ALIGN(sizeof(ifaddrmsg));
    const size_t payloadLength = mnl_nlmsg_get_payload_len(message);
    if (payloadLength > kHeaderLength) {
        const char* attributes = static_cast<const char*>(mnl_nlmsg_get_payload(message));
        mnl_attr_parse_payload(attributes + kHeaderLength, payloadLength - kHeaderLength,
                               ipAddressAttributeCallback, table);
    }

    std::string name;
    if (table[IFA_LABEL] != nullptr) {
        name = mnl_attr_get_str(table[IFA_LABEL]);
        name.resize(std::min(name.size(), MAX_NAME_LENGTH));
        log(6, "Processing callback for updating interface information for - " + name);
    }
    const int index = static_cast<int>(address->ifa_index);
    if (m_ignoredInterfaceIndex.count(index) != 0) {
        log(6, "Skipping loopback / point to point interface - " + name);
        return MNL_CB_OK;
    }

    std::string text = table[IFA_ADDRESS] != nullptr ? addressText(table[IFA_ADDRESS]) : std::string();
    if (!text.empty()) {
        const std::string key = text + "/" + std::to_string(address->ifa_prefixlen);
        log(6, (add ? "Adding subnet - " : "Removing subnet - ") + key + " for interface name " + name +
                   " for monitoring in the network manager thread");
        boost::lock_guard<boost::mutex> lock(m_instanceMutex);
        if (add)
            m_localIpAddressWithPrefix[{key, index}] = name;
        else
            m_localIpAddressWithPrefix.erase({key, index});
    }
    std::string broadcast = table[IFA_BROADCAST] != nullptr ? addressText(table[IFA_BROADCAST]) : std::string();
    if (!broadcast.empty()) {
        log(6, (add ? "Adding broadcast Ip address - " : "Removing broadcast Ip address - ") + broadcast +
                   " for interface name - " + name + " for monitoring in the network manager thread");
        boost::lock_guard<boost::mutex> lock(m_instanceMutex);
        if (add)
            m_localBroadcastAddress[{broadcast, index}] = name;
        else
            m_localBroadcastAddress.erase({broadcast, index});
    }
    return MNL_CB_OK;
}

int SFFMNwIFManager::applyNotification(const nlmsghdr* message)
{
    switch (message->nlmsg_type) {
    case RTM_NEWLINK:
        return updateIgnoredInterface(message, true);
    case RTM_DELLINK:
        return updateIgnoredInterface(message, false);
    case RTM_NEWADDR:
        return updateNetworkInfo(message, true);
    case RTM_DELADDR:
        return updateNetworkInfo(message, false);
    default:
        return MNL_CB_OK;
    }
}

int SFFMNwIFManager::readAllInterface(const nlmsghdr* message)
{
    return message->nlmsg_type == RTM_NEWLINK ? updateIgnoredInterface(message, true) : MNL_CB_OK;
}

int SFFMNwIFManager::readAllIpAddress(const nlmsghdr* message)
{
    return message->nlmsg_type == RTM_NEWADDR ? updateNetworkInfo(message, true) : MNL_CB_OK;
}

int SFFMNwIFManager::monitorNetwork(const nlmsghdr* message)
{
    switch (message->nlmsg_type) {
    case RTM_NEWLINK:
        log(6, "Detected addition of interface");
        break;
    case RTM_DELLINK:
        log(6, "Detected deletion of interface");
        break;
    case RTM_NEWADDR:
        log(6, "Detected addition of Ip Address");
        break;
    case RTM_DELADDR:
        log(6, "Detected deletion of Ip Address");
        break;
    default:
        return MNL_CB_OK;
    }
    int result = applyNotification(message);
    if (updateUniqueNetworkInfo()) {
        log(6, "Detected changes in unique network information list. Setting changed flag to true");
        boost::lock_guard<boost::mutex> lock(m_instanceMutex);
        m_uniqueSubnetListChanged = true;
    }
    return result;
}

int SFFMNwIFManager::readAllInterfaceFnCallback(const nlmsghdr* message, void* data)
{
    return data == nullptr ? MNL_CB_ERROR : static_cast<SFFMNwIFManager*>(data)->readAllInterface(message);
}

int SFFMNwIFManager::readAllIpAddressFnCallback(const nlmsghdr* message, void* data)
{
    return data == nullptr ? MNL_CB_ERROR : static_cast<SFFMNwIFManager*>(data)->readAllIpAddress(message);
}

int SFFMNwIFManager::monitorNetworkFnCallback(const nlmsghdr* message, void* data)
{
    return data == nullptr ? MNL_CB_ERROR : static_cast<SFFMNwIFManager*>(data)->monitorNetwork(message);
}

bool SFFMNwIFManager::updateUniqueNetworkInfo()
{
    RawTable addresses;
    RawTable broadcasts;
    {
        boost::lock_guard<boost::mutex> lock(m_instanceMutex);
        addresses = m_localIpAddressWithPrefix;
        broadcasts = m_localBroadcastAddress;
    }

    std::map<std::string, std::string> newNetworks;
    std::map<std::string, std::string> newAddresses;
    std::map<std::string, std::string> newBroadcasts;
    for (const auto& entry : addresses) {
        const std::string& key = entry.first.first;
        const std::string::size_type slash = key.find('/');
        if (slash == std::string::npos)
            continue;
        const std::string address = key.substr(0, slash);
        const std::string prefixText = key.substr(slash + 1);
        boost::system::error_code error;
        const boost::asio::ip::address_v4 parsed = boost::asio::ip::make_address_v4(address, error);
        char* end = nullptr;
        const unsigned long prefix = strtoul(prefixText.c_str(), &end, 10);
        if (error || prefixText.empty() || *end != '\0' || prefix > 32)
            continue;
        const uint32_t mask = prefix == 0 ? 0u : ~0u << (32 - prefix);
        const uint32_t value = parsed.to_uint();
        const std::string networkKey = dottedQuad(value & mask) + "/" + prefixText;

        log(6, "Adding CIDR " + networkKey + " to temp map for later comparison");
        newNetworks[networkKey] = entry.second;
        log(6, "Adding Ip Address " + address + " to temp map for later comparison");
        newAddresses[address] = entry.second;
        newBroadcasts[networkKey] = dottedQuad(value | ~mask);
    }
    for (const auto& entry : broadcasts)
        log(6, "Adding Broadcast address " + entry.first.first + " to temp map for later comparison");

    // Only the sets of keys count: readers re-apply rules when a network or address comes or
    // goes, not when one moves to another interface.
    std::vector<std::string> messages;
    bool replaced = false;
    {
        boost::lock_guard<boost::mutex> lock(m_instanceMutex);
        bool networksChanged = m_localAggregatedNetworks.size() != newNetworks.size();
        for (auto it = newNetworks.begin(); !networksChanged && it != newNetworks.end(); ++it) {
            if (m_localAggregatedNetworks.count(it->first) == 0) {
                messages.push_back("Subnet " + it->first + " was not found in list, updating list now");
                networksChanged = true;
            }
        }
        if (networksChanged) {
            messages.push_back("Updating subnet list and ip address list");
            m_localAggregatedNetworks.swap(newNetworks);
            m_localAggregatedIpAddresses.swap(newAddresses);
            m_localAggregatedNetworksVsBroadcast.swap(newBroadcasts);
            replaced = true;
        } else {
            bool addressesChanged = false;
            if (m_localAggregatedIpAddresses.size() != newAddresses.size()) {
                messages.push_back("Size of ip address list has changed. Old size was - " +
                                   std::to_string(m_localAggregatedIpAddresses.size()) + " and new size is - " +
                                   std::to_string(newAddresses.size()));
                addressesChanged = true;
            }
            for (auto it = newAddresses.begin(); !addressesChanged && it != newAddresses.end(); ++it) {
                if (m_localAggregatedIpAddresses.count(it->first) == 0) {
                    messages.push_back("Ip Address " + it->first + "  was not found in list, updating list now");
                    addressesChanged = true;
                }
            }
            if (addressesChanged) {
                messages.push_back("Updating ip address list");
                m_localAggregatedIpAddresses.swap(newAddresses);
                replaced = true;
            }
        }
    }
    for (const std::string& message : messages)
        log(6, message);
    return replaced;
}

bool SFFMNwIFManager::hasNetworkChanged()
{
    boost::lock_guard<boost::mutex> lock(m_instanceMutex);
    const bool changed = m_uniqueSubnetListChanged;
    m_uniqueSubnetListChanged = false;
    return changed;
}

std::map<std::string, std::string> SFFMNwIFManager::getUniqueSubnets()
{
    boost::lock_guard<boost::mutex> lock(m_instanceMutex);
    return m_localAggregatedNetworks;
}

std::map<std::string, std::string> SFFMNwIFManager::getUniqueIpAddresses()
{
    boost::lock_guard<boost::mutex> lock(m_instanceMutex);
    return m_localAggregatedIpAddresses;
}

std::map<std::string, std::string> SFFMNwIFManager::getUniqueNetworksVsBroadcast()
{
    boost::lock_guard<boost::mutex> lock(m_instanceMutex);
    return m_localAggregatedNetworksVsBroadcast;
}

} // namespace StatefulFirewall
