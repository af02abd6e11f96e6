// A YAML document read into compact nodes, for the scenario reader.
//
// The YAML library's own node tree costs about 440 bytes a node (shared ownership, a map of
// nodes per document, a tag and a style per node); a scenario of 100,000 one-line events holds
// over a million nodes, so the tree alone took 480 MB and most of the time spent reading. This
// tree is built from the library's parser events instead: the same parser, so the same errors
// at the same positions, and the same shape the library's tree would have (a key written twice
// is kept twice, in order; an alias is the node its anchor names, so an alias inside its own
// anchor makes a cycle), in 20 bytes a node and one string holding every scalar's text.
//
// Nodes answer what the library's nodes answer, with the same values, and fail where they fail
// (with a YAML::Exception): a subscript on a scalar, any question to a key that was not found.
#pragma once

#include <yaml-cpp/mark.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace fwtool {

class YamlTree;

class YamlNode {
public:
    YamlNode() = default;

    // False for a key a mapping does not hold.
    explicit operator bool() const { return tree_ != nullptr; }
    bool IsNull() const;
    bool IsScalar() const;
    bool IsSequence() const;
    bool IsMap() const;
    // A scalar's text; "" for anything else.
    std::string Scalar() const;
    // Where the node starts; null for the root of a document that holds nothing.
    YAML::Mark Mark() const;
    // Entries of a mapping (a key given twice counts twice), items of a list, 0 otherwise.
    std::size_t size() const;
    // The value of the first entry whose key is a scalar equal to `key`; a false node when there
    // is none or this is no mapping. Throws on a scalar, as the library does.
    YamlNode operator[](std::string_view key) const;

    // A list's item `i` (below size()).
    YamlNode Item(std::size_t i) const;

    // A mapping's entries in the order written; nothing for anything else.
    class Iterator;
    Iterator begin() const;
    Iterator end() const;

private:
    friend class YamlTree;
    YamlNode(const YamlTree* tree, std::uint32_t index) : tree_(tree), index_(index) {}
    const struct YamlNodeData& Data() const;

    const YamlTree* tree_ = nullptr;
    std::uint32_t index_ = 0;
};

struct YamlEntry {
    YamlNode first;  // the key
    YamlNode second; // the value
};

struct YamlNodeData {
    enum class Kind : std::uint8_t {
        Null,
        Scalar,
        Sequence,
        Map,
    };
    Kind kind = Kind::Null;
    std::int32_t line = -1; // -1, -1: no position
    std::int32_t column = -1;
    // Scalar: offset and length of its text in YamlTree's text. Sequence, map: the first of its
    // children in YamlTree's edges and their number (a map's keys and values alternate).
    std::uint32_t first = 0;
    std::uint32_t count = 0;
};

class YamlNode::Iterator {
public:
    Iterator(const YamlTree* tree, const std::uint32_t* edge) : tree_(tree), edge_(edge) {}
    YamlEntry operator*() const;
    Iterator& operator++()
    {
        edge_ += 2;
        return *this;
    }
    bool operator!=(const Iterator& other) const { return edge_ != other.edge_; }

private:
    const YamlTree* tree_;
    const std::uint32_t* edge_;
};

class YamlTree {
public:
    // Parses the first document of `text`. Throws the parser's YAML::ParserException (and its
    // YAML::DeepRecursion) as YAML::Load would.
    explicit YamlTree(const std::string& text);

    YamlNode Root() const { return {this, root_}; }

private:
    friend class YamlNode;
    class Builder;

    std::vector<YamlNodeData> nodes_;
    std::vector<std::uint32_t> edges_;
    std::string text_;
    std::uint32_t root_ = 0;
};

} // namespace fwtool
