// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>

class QTreeWidget;
class QTreeWidgetItem;

namespace kx {

struct CertTreeData;

// The depth of a node: 0 for a container, 1 for a certificate, 2 for its subject and keys.
int CertNodeLevel(const QTreeWidgetItem* node);
// The position of a node among its siblings.
int CertNodeIndex(const QTreeWidgetItem* node);

// Fills `tree` with the containers of a key as one read gave them, each with its exchange and
// signature certificate, the certificate's subject and key pair. Every container node carries its
// container's name and every certificate node its key kind, so an action on a node reaches the
// container by name, whatever the key's list looks like by then. The first containers are in the
// tree on return, the rest follow in slices on the next turns of the event loop; a new fill of the
// tree replaces one still running.
void FillCertTree(QTreeWidget* tree, const CertTreeData& data);
// True while a fill of `tree` still has containers to add.
bool CertTreeFilling(const QTreeWidget* tree);

// The container name a node of the tree belongs to; empty for the placeholder of a key without
// containers.
QByteArray ContainerOfNode(const QTreeWidgetItem* node);

// The certificate whose subject node is selected in `tree`: its container's name and key kind
// (exchange or signature); false when no certificate subject is selected.
bool SelectedCertificate(const QTreeWidget* tree, QByteArray& container, int& keySpec);

} // namespace kx
