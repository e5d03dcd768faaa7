// SPDX-License-Identifier: Apache-2.0
#include "CertTree.h"

#include "KeySession.h"
#include "TreeIcons.h"

#include "common/LanguageTexts.h"
#include "token/TokenApi.h"
#include "token/TokenWrappers.h"

#include <QTreeWidget>

#include <memory>

namespace kx {

namespace {

// Tree pictures of the certificate page.
enum CertImage
{
    ContainerImage = 9,
    CertificateImage = 3,
    SubjectImage = 7,
    PublicKeyImage = 22,
    PrivateKeyImage = 4
};

QString keyText(int algorithm, int bits)
{
    return algorithm == kKeyAlgorithmECC ? QStringLiteral("(ECC%1)").arg(bits) : QStringLiteral("(RSA%1)").arg(bits);
}

void addCertNodes(QTreeWidgetItem* container, KeySession& session, int keyIndex, const QByteArray& name, int keySpec)
{
    const int position = CertNodeIndex(container);
    session.setCertPresence(keyIndex, position, keySpec, false);
    auto cert = std::make_unique<TR7CertInfo>();
    if (ReadContainerCert(keyIndex, name, keySpec, *cert) != 0) {
        return;
    }
    QString title = Language().text(keySpec == kKeySpecExchange ? LangKey("K_Cert_mode1") : LangKey("K_Cert_mode2"));
    if (cert->certType == kCertRoot) {
        title += QStringLiteral("(ROOT)");
    } else if (cert->certType == kCertCA) {
        title += QStringLiteral("(CA)");
    }
    auto* certNode = new QTreeWidgetItem(container, {title});
    certNode->setIcon(0, TreeIcon(CertificateImage));
    auto* subject = new QTreeWidgetItem(certNode, {cert->subject});
    subject->setIcon(0, TreeIcon(SubjectImage));
    int algorithm = 0;
    if (container_get_pubkey(keyIndex, name, keySpec, algorithm) == 0) {
        auto* node = new QTreeWidgetItem(certNode, {Lang("K_RSA_Pub") + keyText(algorithm, cert->keyBits)});
        node->setIcon(0, TreeIcon(PublicKeyImage));
    }
    int privateAlgorithm = 0;
    if (container_get_prikey(keyIndex, name, keySpec, &privateAlgorithm) == 0) {
        auto* node = new QTreeWidgetItem(certNode, {Lang("K_RSA_Pri") + keyText(privateAlgorithm, cert->keyBits)});
        node->setIcon(0, TreeIcon(PrivateKeyImage));
    }
    session.setCertPresence(keyIndex, position, keySpec, true);
}

} // namespace

int CertNodeLevel(const QTreeWidgetItem* node)
{
    int level = 0;
    for (const QTreeWidgetItem* up = node->parent(); up; up = up->parent()) {
        ++level;
    }
    return level;
}

int CertNodeIndex(const QTreeWidgetItem* node)
{
    return node->parent() ? node->parent()->indexOfChild(const_cast<QTreeWidgetItem*>(node))
                          : node->treeWidget()->indexOfTopLevelItem(const_cast<QTreeWidgetItem*>(node));
}

void FillCertTree(QTreeWidget* tree, KeySession& session, int keyIndex)
{
    const QSignalBlocker blocker(tree);
    tree->clear();
    if (!session.keyIndexValid(keyIndex)) {
        return;
    }
    session.reloadContainers(keyIndex);
    const TR7Info& info = session.keyInfo(keyIndex);
    if (info.containerCount == 0) {
        new QTreeWidgetItem(tree, {Lang("K_Null_cont")});
    }
    for (int i = 0; i < info.containerCount; ++i) {
        const QByteArray& name = info.containerNames[static_cast<std::size_t>(i)];
        auto* container = new QTreeWidgetItem(tree, {QString::fromLocal8Bit(name) + Lang("K_Cont")});
        container->setIcon(0, TreeIcon(ContainerImage));
        addCertNodes(container, session, keyIndex, name, kKeySpecExchange);
        addCertNodes(container, session, keyIndex, name, kKeySpecSignature);
    }
    tree->expandAll();
}

bool SelectedCertificate(const QTreeWidget* tree, const KeySession& session, QByteArray& name, int& keySpec,
                         int& container)
{
    const QTreeWidgetItem* node = tree->currentItem();
    const int k = session.CurrentKeyIndex();
    if (!node || CertNodeLevel(node) != 2 || CertNodeIndex(node) != 0 || !session.keyIndexValid(k)) {
        return false;
    }
    const QTreeWidgetItem* top = node->parent()->parent();
    container = CertNodeIndex(top);
    const TR7Info& info = session.keyInfo(k);
    if (container < 0 || container >= info.containerCount) {
        return false;
    }
    name = info.containerNames[static_cast<std::size_t>(container)];
    const auto presence = session.certPresence(k, container);
    keySpec = CertNodeIndex(node->parent()) == 0 && presence[0] != 0 ? presence[0] : presence[1];
    return keySpec == kKeySpecExchange || keySpec == kKeySpecSignature;
}

} // namespace kx
