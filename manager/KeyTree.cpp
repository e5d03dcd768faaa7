// SPDX-License-Identifier: Apache-2.0
#include "KeyTree.h"

#include "HoverItemDelegate.h"
#include "KeySession.h"
#include "TreeIcons.h"

#include "common/LanguageTexts.h"

#include <QTreeWidget>

namespace kx {

KeyTree::KeyTree(QTreeWidget* tree, const KeySession& session) : m_tree(tree), m_session(session)
{
    m_tree->setHeaderHidden(true);
    // The node under the mouse is highlighted.
    m_tree->setMouseTracking(true);
    m_tree->viewport()->setAttribute(Qt::WA_Hover);
    m_tree->setItemDelegate(new HoverItemDelegate(m_tree));
}

void KeyTree::buildRoots()
{
    m_tree->clear();
    struct Root
    {
        LangKey key;
        int image;
    };
    const Root roots[] = {
        {"Main_Form_Treeview", 9}, {"Main_Form_PopupMenu_CheceSystem", 10}, {"Main_Form_PopupMenu_About", 7}};
    for (const Root& r : roots) {
        auto* root = new QTreeWidgetItem(m_tree, {Language().text(r.key)});
        root->setIcon(0, TreeIcon(r.image));
    }
}

void KeyTree::applyTexts()
{
    if (QTreeWidgetItem* root = m_tree->topLevelItem(0)) {
        root->setText(0, Lang("Main_Form_Treeview"));
    }
}

void KeyTree::clearKeys()
{
    const QSignalBlocker blocker(m_tree);
    qDeleteAll(m_tree->topLevelItem(0)->takeChildren());
}

void KeyTree::showKeys()
{
    QTreeWidgetItem* root = m_tree->topLevelItem(0);
    const QSignalBlocker blocker(m_tree);
    for (int i = 0; i < m_session.KeyCount(); ++i) {
        addKeyNodes(i);
    }
    root->setExpanded(true);
    if (QTreeWidgetItem* first = root->child(0)) {
        first->setExpanded(true);
    }
    m_tree->setCurrentItem(root);
}

void KeyTree::showError()
{
    QTreeWidgetItem* root = m_tree->topLevelItem(0);
    new QTreeWidgetItem(root, {Lang("K_GetKeyInfo_Error")});
    root->setExpanded(true);
    m_tree->setCurrentItem(root);
}

void KeyTree::renameKey(int keyIndex, const QString& label)
{
    if (QTreeWidgetItem* node = keyNode(keyIndex)) {
        node->setText(0, label);
    }
}

QTreeWidgetItem* KeyTree::keyNode(int keyIndex) const
{
    QTreeWidgetItem* root = m_tree->topLevelItem(0);
    return root ? root->child(keyIndex) : nullptr;
}

KeyTreePlace KeyTree::placeOf(QTreeWidgetItem* node) const
{
    KeyTreePlace place;
    for (QTreeWidgetItem* up = node->parent(); up; up = up->parent()) {
        ++place.level;
    }
    QTreeWidgetItem* key = node;
    while (key->parent() && key->parent()->parent()) {
        key = key->parent();
    }
    place.keyPosition = key->parent() ? key->parent()->indexOfChild(key) : m_tree->indexOfTopLevelItem(key);
    place.index = node->parent() ? node->parent()->indexOfChild(node) : m_tree->indexOfTopLevelItem(node);
    return place;
}

void KeyTree::addKeyNodes(int keyIndex)
{
    QTreeWidgetItem* root = m_tree->topLevelItem(0);
    auto* key = new QTreeWidgetItem(root, {m_session.keyInfo(keyIndex).labelText().trimmed()});
    auto child = [key](LangKey text, int image) {
        auto* node = new QTreeWidgetItem(key, {Language().text(text)});
        node->setIcon(0, TreeIcon(image));
    };
    child("Main_Form_btn_SetUPIN", 4);
    child("Main_Form_btn_SetKeyName", 11);
    child("Main_Form_Groupbox", 3);
    if (m_session.FingerSupported()) {
        child("F_User_Finger", m_session.FingerVein() ? 23 : 18);
    }
    child("P_Remoteunlock", 22);
}

} // namespace kx
