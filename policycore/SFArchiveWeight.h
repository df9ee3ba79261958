#pragma once

// The weighing of archive text that the checking readers (SFTextArchive.h) and the weighing
// writers (SFTextOArchive.h) share, so that whatever a writer lets through, its reader reads back.
//
// Counts and lengths are bounded by the text elsewhere; this bounds memory. Each collection is
// charged its count times the memory one of its elements takes (SFCollectionCost: the element,
// the heap block of the object a pointer element points to, the node of a list, and the record
// boost keeps for every tracked object it loads). The elements of all collections of one text
// together may take kElementBytesPerCharacter bytes per character the text earns, plus
// kElementBytesAllowance once. A character earns when it belongs to a value: of a run of blanks
// only the one that separates two values earns, and bytes after the last value read earn
// nothing, so padding cannot buy a rule more memory than the store that will hold it allows.
// Lists of matches hold at most kMaxMatchesPerList elements.
//
// With strings filled as they arrive (at most 2 bytes of heap per character of theirs) and no
// copy of the input, a checking read takes at most 10 times its input plus the allowance.

#include <boost/archive/archive_exception.hpp>
#include <boost/serialization/tracking.hpp>

#include <algorithm>
#include <cstddef>
#include <list>
#include <map>
#include <type_traits>
#include <utility>
#include <vector>

namespace StatefulFirewall {

class SFMatch;

// A stored length or count that the input cannot hold. An archive_exception of code
// other_exception (so readers that take an input_stream_error for the end of a shorter record
// do not take this for one) whose text says what was refused.
class SFStoredSizeException : public boost::archive::archive_exception {
public:
    explicit SFStoredSizeException(const char* what)
        : archive_exception(other_exception), m_what(what)
    {
    }
    const char* what() const noexcept override { return m_what; }

private:
    const char* m_what; // a string literal
};

// Collections that take more memory than their text allows, or a list of matches longer than
// a rule may hold: the text is well formed, but what it holds is more than a store may carry.
// The daemon answers a change refused this way as one whose store could not be written.
class SFOverweightException : public SFStoredSizeException {
public:
    using SFStoredSizeException::SFStoredSizeException;
};

[[noreturn]] inline void refuseStoredSize(const char* what)
{
    throw SFStoredSizeException(what);
}

[[noreturn]] inline void refuseOverweight(const char* what)
{
    throw SFOverweightException(what);
}

// A rule of a few matches with its name and identifiers takes about five bytes of elements per
// character, a match alone 14 to 26. Eight per character keeps tables of rules of up to about
// seven address matches readable at any size and bounds a read to a small multiple of its
// text; the allowance, the largest command data the channel carries, lets denser tables grow
// to over 100,000 rules of a dozen addresses or 4,700 of a hundred. The allowance of a
// collection in one block is small: it is allocated before a single element is read.
inline constexpr std::size_t kElementBytesPerCharacter = 8;
inline constexpr std::size_t kElementBytesAllowance = std::size_t(64) << 20;
inline constexpr std::size_t kBlockBytesAllowance = std::size_t(64) << 10;
// A rule lists a handful of addresses and ports; 65,536, one match for every port, is far
// above any real rule and keeps one rule's matches under 25 MiB.
inline constexpr std::size_t kMaxMatchesPerList = 65536;

// The element memory a text that earns characters may hold.
constexpr std::size_t elementBytesAllowed(std::size_t characters)
{
    constexpr std::size_t unbounded = static_cast<std::size_t>(-1);
    return characters > (unbounded - kElementBytesAllowance) / kElementBytesPerCharacter
               ? unbounded
               : characters * kElementBytesPerCharacter + kElementBytesAllowance;
}

// The heap block malloc takes for an allocation (glibc, 64-bit): an 8-byte header, rounded up
// to 16 bytes, at least 32.
constexpr std::size_t sfHeapBlock(std::size_t bytes)
{
    return std::max<std::size_t>(32, (bytes + 8 + 15) / 16 * 16);
}

// boost keeps a 16-byte record for every tracked object it loads, in one vector; while that
// grows, its old block and the new one of twice the size live at once: three records each.
inline constexpr std::size_t kTrackedObjectBytes = 3 * 16;

// What one element of a collection takes besides its slot or node: the block of the object a
// pointer points to, and boost's record of a tracked object.
template <class U> constexpr std::size_t sfHeldBytes()
{
    if constexpr (std::is_pointer_v<U>)
        return sfHeapBlock(sizeof(std::remove_pointer_t<U>)) + kTrackedObjectBytes;
    else if constexpr (std::is_class_v<U>)
        return boost::serialization::tracking_level<U>::value != boost::serialization::track_never
                   ? kTrackedObjectBytes
                   : 0;
    else
        return 0;
}

template <class U> constexpr std::size_t sfListLimit()
{
    return std::is_same_v<U, SFMatch*> ? kMaxMatchesPerList : static_cast<std::size_t>(-1);
}

// The memory one element of a collection takes (element), the bytes it takes in the
// collection's own block when the collection is one block (slot, 0 otherwise), and the most
// elements one collection may hold (limit). element is 0 for what is no collection. Every
// collection type read from outside has an entry here.
template <class T> struct SFCollectionCost {
    static constexpr std::size_t element = 0;
    static constexpr std::size_t slot = 0;
    static constexpr std::size_t limit = static_cast<std::size_t>(-1);
};
template <class U, class A> struct SFCollectionCost<std::vector<U, A>> {
    static constexpr std::size_t element = sizeof(U) + sfHeldBytes<U>();
    static constexpr std::size_t slot = sizeof(U);
    static constexpr std::size_t limit = static_cast<std::size_t>(-1);
};
template <class U, class A> struct SFCollectionCost<std::list<U, A>> {
    static constexpr std::size_t element =
        sfHeapBlock(2 * sizeof(void*) + sizeof(U)) + sfHeldBytes<U>();
    static constexpr std::size_t slot = 0;
    static constexpr std::size_t limit = sfListLimit<U>();
};
template <class K, class V, class C, class A> struct SFCollectionCost<std::map<K, V, C, A>> {
    // A tree node: colour and three links before the pair.
    static constexpr std::size_t element =
        sfHeapBlock(4 * sizeof(void*) + sizeof(std::pair<const K, V>)) +
        sfHeldBytes<std::pair<const K, V>>();
    static constexpr std::size_t slot = 0;
    static constexpr std::size_t limit = static_cast<std::size_t>(-1);
};

// The cost of the collection whose count an archive reads or writes next.
struct SFElementCost {
    std::size_t element = 0;
    std::size_t slot = 0;
    std::size_t limit = static_cast<std::size_t>(-1);
};
template <class T> constexpr SFElementCost sfCostOf()
{
    using Cost = SFCollectionCost<std::remove_cv_t<T>>;
    return {Cost::element, Cost::slot, Cost::limit};
}

// The element memory a count of a collection takes; throws SFOverweightException when the
// count is beyond what one such collection may hold.
inline std::size_t elementBytesOf(std::size_t count, const SFElementCost& cost)
{
    if (count > cost.limit)
        refuseOverweight("more matches in one list than a rule may hold");
    if (cost.element != 0 && count > static_cast<std::size_t>(-1) / cost.element)
        return static_cast<std::size_t>(-1);
    return count * cost.element;
}

// Counts the characters of archive text that earn element memory: every character that is no
// blank, and one for each run of blanks followed by one that is (the separator between two
// values). Fed the text in order, in pieces of any size.
class SFEarnedCharacters {
public:
    template <class Char> void add(const Char* text, std::size_t size)
    {
        for (const Char* end = text + size; text != end; ++text) {
            const Char c = *text;
            if (c == ' ' || (c >= '\t' && c <= '\r')) {
                m_inBlanks = true;
            } else {
                m_count += m_inBlanks ? 2 : 1;
                m_inBlanks = false;
            }
        }
    }
    std::size_t count() const { return m_count; }

private:
    std::size_t m_count = 0;
    bool m_inBlanks = false;
};

} // namespace StatefulFirewall
