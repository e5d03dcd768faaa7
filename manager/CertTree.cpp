// SPDX-License-Identifier: Apache-2.0
#include "CertTree.h"

#include "TreeIcons.h"

#include "common/LanguageTexts.h"
#include "keyservice/CertTreeData.h"
#include "token/TokenRecords.h"

#include <QTreeWidget>

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

// Where the nodes keep what they stand for.
constexpr int kContainerRole = Qt::UserRole;
constexpr int kKeySpecRole = Qt::UserRole + 1;

QString keyText(int algorithm, int bits)
{
    return algorithm == kKeyAlgorithmECC ? QStringLiteral("(ECC%1)").arg(bits) : QStringLiteral("(RSA%1)").arg(bits);
}

void addCertNodes(QTreeWidgetItem* container, const KeyPairData& pair, int keySpec)
{
    if (!pair.certificate) {
        return;
    }
    QString title = Language().text(keySpec == kKeySpecExchange ? LangKey("K_Cert_mode1") : LangKey("K_Cert_mode2"));
    if (pair.certType == kCertRoot) {
        title += QStringLiteral("(ROOT)");
    } else if (pair.certType == kCertCA) {
        title += QStringLiteral("(CA)");
    }
    auto* certNode = new QTreeWidgetItem(container, {title});
    certNode->setIcon(0, TreeIcon(CertificateImage));
    certNode->setData(0, kKeySpecRole, keySpec);
    auto* subject = new QTreeWidgetItem(certNode, {pair.subject});
    subject->setIcon(0, TreeIcon(SubjectImage));
    if (pair.publicKey) {
        auto* node = new QTreeWidgetItem(certNode, {Lang("K_RSA_Pub") + keyText(pair.publicAlgorithm, pair.keyBits)});
        node->setIcon(0, TreeIcon(PublicKeyImage));
    }
    if (pair.privateKey) {
        auto* node = new QTreeWidgetItem(certNode, {Lang("K_RSA_Pri") + keyText(pair.privateAlgorithm, pair.keyBits)});
        node->setIcon(0, TreeIcon(PrivateKeyImage));
    }
}

const QTreeWidgetItem* topOf(const QTreeWidgetItem* node)
{
    while (node && node->parent()) {
        node = node->parent();
    }
    return node;
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

void FillCertTree(QTreeWidget* tree, const CertTreeData& data)
{
    const QSignalBlocker blocker(tree);
    // The nodes are built apart from the tree and go in at once: a key of hundreds of containers
    // is one insertion and one layout, not one per node.
    tree->setUpdatesEnabled(false);
    tree->clear();
    QList<QTreeWidgetItem*> nodes;
    nodes.reserve(static_cast<qsizetype>(data.containers.size()) + 1);
    if (data.containers.empty()) {
        nodes.append(new QTreeWidgetItem({Lang("K_Null_cont")}));
    }
    const QString containerSuffix = Lang("K_Cont");
    const QIcon containerIcon = TreeIcon(ContainerImage);
    for (const ContainerData& container : data.containers) {
        auto* node = new QTreeWidgetItem({QString::fromLocal8Bit(container.name) + containerSuffix});
        node->setIcon(0, containerIcon);
        node->setData(0, kContainerRole, container.name);
        addCertNodes(node, container.pairs[0], kKeySpecExchange);
        addCertNodes(node, container.pairs[1], kKeySpecSignature);
        nodes.append(node);
    }
    tree->addTopLevelItems(nodes);
    tree->expandAll();
    tree->setUpdatesEnabled(true);
}

QByteArray ContainerOfNode(const QTreeWidgetItem* node)
{
    const QTreeWidgetItem* top = topOf(node);
    return top ? top->data(0, kContainerRole).toByteArray() : QByteArray();
}

bool SelectedCertificate(const QTreeWidget* tree, QByteArray& container, int& keySpec)
{
    const QTreeWidgetItem* node = tree->currentItem();
    if (!node || CertNodeLevel(node) != 2 || CertNodeIndex(node) != 0) {
        return false;
    }
    container = ContainerOfNode(node);
    keySpec = node->parent()->data(0, kKeySpecRole).toInt();
    return !container.isEmpty() && (keySpec == kKeySpecExchange || keySpec == kKeySpecSignature);
}

} // namespace kx
