#include "tools/yaml_tree.h"

#include <yaml-cpp/eventhandler.h>
#include <yaml-cpp/exceptions.h>
#include <yaml-cpp/parser.h>

#include <sstream>
#include <utility>

namespace fwtool {

namespace {
using Kind = YamlNodeData::Kind;
} // namespace

// Receives the parser's events in document order. A node's children are gathered on one stack
// as they complete and moved into the tree's edges when their collection ends, so that every
// collection's children lie together.
class YamlTree::Builder : public YAML::EventHandler {
public:
    explicit Builder(YamlTree& tree) : tree_(tree) {}

    bool HasRoot() const { return hasRoot_; }

    void OnDocumentStart(const YAML::Mark& /*mark*/) override {}
    void OnDocumentEnd() override {}
    void OnNull(const YAML::Mark& mark, YAML::anchor_t anchor) override { Complete(Add(Kind::Null, mark, anchor)); }
    void OnAlias(const YAML::Mark& /*mark*/, YAML::anchor_t anchor) override
    {
        // The parser refuses an alias to an anchor not yet seen, so the anchor is known.
        Complete(anchors_.at(anchor));
    }
    void OnScalar(const YAML::Mark& mark, const std::string& /*tag*/, YAML::anchor_t anchor,
                  const std::string& value) override
    {
        const std::uint32_t index = Add(Kind::Scalar, mark, anchor);
        // Scalars hold text of the input only, which is far below 4 GiB (kMaxInputBytes).
        tree_.nodes_[index].first = static_cast<std::uint32_t>(tree_.text_.size());
        tree_.nodes_[index].count = static_cast<std::uint32_t>(value.size());
        tree_.text_ += value;
        Complete(index);
    }
    void OnSequenceStart(const YAML::Mark& mark, const std::string& /*tag*/, YAML::anchor_t anchor,
                         YAML::EmitterStyle::value /*style*/) override
    {
        Open(Add(Kind::Sequence, mark, anchor));
    }
    void OnSequenceEnd() override { Close(1); }
    void OnMapStart(const YAML::Mark& mark, const std::string& /*tag*/, YAML::anchor_t anchor,
                    YAML::EmitterStyle::value /*style*/) override
    {
        Open(Add(Kind::Map, mark, anchor));
    }
    void OnMapEnd() override { Close(2); }

private:
    std::uint32_t Add(Kind kind, const YAML::Mark& mark, YAML::anchor_t anchor)
    {
        const auto index = static_cast<std::uint32_t>(tree_.nodes_.size());
        YamlNodeData& node = tree_.nodes_.emplace_back();
        node.kind = kind;
        node.line = mark.line;
        node.column = mark.column;
        // Registered when the node starts, as the library does: an alias inside a collection
        // can name the collection itself.
        if (anchor != YAML::NullAnchor) {
            if (anchors_.size() <= anchor) {
                anchors_.resize(anchor + 1);
            }
            anchors_[anchor] = index;
        }
        return index;
    }

    void Complete(std::uint32_t index)
    {
        if (open_.empty()) {
            tree_.root_ = index;
            hasRoot_ = true;
        } else {
            pending_.push_back(index);
        }
    }

    void Open(std::uint32_t index) { open_.emplace_back(index, pending_.size()); }

    // `perChild`: edges per child, 2 for a mapping's key and value.
    void Close(std::uint32_t perChild)
    {
        const auto [index, start] = open_.back();
        open_.pop_back();
        YamlNodeData& node = tree_.nodes_[index];
        node.first = static_cast<std::uint32_t>(tree_.edges_.size());
        node.count = static_cast<std::uint32_t>((pending_.size() - start) / perChild);
        tree_.edges_.insert(tree_.edges_.end(), pending_.begin() + static_cast<std::ptrdiff_t>(start), pending_.end());
        pending_.resize(start);
        Complete(index);
    }

    YamlTree& tree_;
    std::vector<std::uint32_t> anchors_;                      // by the parser's anchor number
    std::vector<std::pair<std::uint32_t, std::size_t>> open_; // collections started: node, first child
    std::vector<std::uint32_t> pending_;                      // children of the open collections
    bool hasRoot_ = false;
};

YamlTree::YamlTree(const std::string& text)
{
    std::stringstream stream(text);
    YAML::Parser parser(stream);
    Builder builder(*this);
    if (!parser.HandleNextDocument(builder) || !builder.HasRoot()) {
        // No document: a null root without a position.
        nodes_.assign(1, YamlNodeData{});
        root_ = 0;
    }
}

const YamlNodeData& YamlNode::Data() const
{
    if (tree_ == nullptr) {
        throw YAML::Exception(YAML::Mark::null_mark(), "a key that is not there has no value");
    }
    return tree_->nodes_[index_];
}

bool YamlNode::IsNull() const
{
    return Data().kind == Kind::Null;
}

bool YamlNode::IsScalar() const
{
    return Data().kind == Kind::Scalar;
}

bool YamlNode::IsSequence() const
{
    return Data().kind == Kind::Sequence;
}

bool YamlNode::IsMap() const
{
    return Data().kind == Kind::Map;
}

std::string YamlNode::Scalar() const
{
    const YamlNodeData& node = Data();
    return node.kind == Kind::Scalar ? tree_->text_.substr(node.first, node.count) : std::string();
}

YAML::Mark YamlNode::Mark() const
{
    const YamlNodeData& node = Data();
    if (node.line < 0 && node.column < 0) {
        return YAML::Mark::null_mark();
    }
    YAML::Mark mark;
    mark.line = node.line;
    mark.column = node.column;
    return mark;
}

std::size_t YamlNode::size() const
{
    const YamlNodeData& node = Data();
    return node.kind == Kind::Sequence || node.kind == Kind::Map ? node.count : 0;
}

YamlNode YamlNode::Item(std::size_t i) const
{
    return {tree_, tree_->edges_[Data().first + i]};
}

YamlNode YamlNode::operator[](std::string_view key) const
{
    const YamlNodeData& node = Data();
    if (node.kind == Kind::Scalar) {
        throw YAML::Exception(Mark(), "a scalar has no keys");
    }
    if (node.kind != Kind::Map) {
        return {};
    }
    for (const YamlEntry entry : *this) {
        const YamlNodeData& k = entry.first.Data();
        if (k.kind == Kind::Scalar && std::string_view(tree_->text_).substr(k.first, k.count) == key) {
            return entry.second;
        }
    }
    return {};
}

YamlNode::Iterator YamlNode::begin() const
{
    const YamlNodeData& node = Data();
    const std::uint32_t* edges = tree_->edges_.data() + (node.kind == Kind::Map ? node.first : 0);
    return {tree_, edges};
}

YamlNode::Iterator YamlNode::end() const
{
    const YamlNodeData& node = Data();
    const std::uint32_t* edges = tree_->edges_.data() + (node.kind == Kind::Map ? node.first + 2 * node.count : 0);
    return {tree_, edges};
}

YamlEntry YamlNode::Iterator::operator*() const
{
    return {YamlNode(tree_, edge_[0]), YamlNode(tree_, edge_[1])};
}

} // namespace fwtool
