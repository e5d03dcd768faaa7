// SPDX-License-Identifier: Apache-2.0
#pragma once

class QString;
class QTreeWidget;
class QTreeWidgetItem;

namespace kx {

class KeySession;

// Where a node of the key tree sits: its depth (0 a root, 1 a key, 2 a task of a key), the
// position of the key or root above it, and its own position among its siblings.
struct KeyTreePlace
{
    int level = 0;
    int keyPosition = 0;
    int index = 0;
};

// The key tree of the main window: three roots (the keys, the system check, about), one node per
// key with a node per task of the key.
class KeyTree
{
public:
    KeyTree(QTreeWidget* tree, const KeySession& session);

    void buildRoots();
    void applyTexts();
    // Drops the key nodes, without announcing a change of the selected node.
    void clearKeys();
    // Adds a node for every key of the session and selects the key list's root.
    void showKeys();
    // Shows that the key information could not be read.
    void showError();
    void renameKey(int keyIndex, const QString& label);
    QTreeWidgetItem* keyNode(int keyIndex) const;
    KeyTreePlace placeOf(QTreeWidgetItem* node) const;

private:
    void addKeyNodes(int keyIndex);

    QTreeWidget* m_tree;
    const KeySession& m_session;
};

} // namespace kx
