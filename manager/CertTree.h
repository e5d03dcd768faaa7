// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>

class QTreeWidget;
class QTreeWidgetItem;

namespace kx {

class KeySession;

// The depth of a node: 0 for a container, 1 for a certificate, 2 for its subject and keys.
int CertNodeLevel(const QTreeWidgetItem* node);
// The position of a node among its siblings.
int CertNodeIndex(const QTreeWidgetItem* node);

// Fills `tree` with the containers of a key, each with its exchange and signature certificate,
// the certificate's subject and key pair; the session learns which certificates are there.
void FillCertTree(QTreeWidget* tree, KeySession& session, int keyIndex);

// The certificate whose subject node is selected in `tree`: its container name, position and
// key kind (exchange or signature); false when no certificate subject is selected.
bool SelectedCertificate(const QTreeWidget* tree, const KeySession& session, QByteArray& name, int& keySpec,
                         int& container);

} // namespace kx
