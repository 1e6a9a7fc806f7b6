#include "recovery/FilesystemNode.h"

CFilesystemNode::CFilesystemNode(const char* name, const char* volumeName, _tagSearcherType type, int64_t nodeId)
    : m_type(type), m_name(name ? name : ""), m_volumeName(volumeName ? volumeName : "") {
    m_nodeId = nodeId;
}

// A copy is a fresh, unlinked node with the same identity.
CFilesystemNode::CFilesystemNode(const CFilesystemNode& other)
    : CFileNode(), m_type(other.m_type), m_name(other.m_name), m_volumeName(other.m_volumeName) {
    m_nodeId = other.m_nodeId;
}
