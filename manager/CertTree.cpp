// SPDX-License-Identifier: Apache-2.0
#include "CertTree.h"

#include "TreeIcons.h"

#include "common/LanguageTexts.h"
#include "keyservice/CertTreeData.h"
#include "token/TokenRecords.h"

#include <QElapsedTimer>
#include <QIcon>
#include <QTimer>
#include <QTreeWidget>

#include <algorithm>
#include <utility>

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

// Adds a key's containers to a certificate tree a slice at a time: each slice takes about
// kSliceMs of the window thread, then the window paints and answers before the next, so a key of
// hundreds of containers never holds the window for long. Lives as the tree's child while slices
// remain; a new fill of the tree deletes it.
class CertTreeFiller final : public QObject
{
    Q_OBJECT

public:
    CertTreeFiller(QTreeWidget* tree, const CertTreeData& data);
    void addSlice();
    bool finished() const { return m_finished; }

private:
    static constexpr qint64 kSliceMs = 15;
    QTreeWidget* m_tree;
    std::vector<ContainerData> m_containers;
    std::size_t m_done = 0;
    bool m_finished = false;
    QString m_containerSuffix;
    QIcon m_containerIcon;
    QTimer m_next;
};

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
    // A fill still running for an older read of the key stops here.
    qDeleteAll(tree->findChildren<CertTreeFiller*>(QString(), Qt::FindDirectChildrenOnly));
    {
        const QSignalBlocker blocker(tree);
        // Every row is one picture and one line: the view need not measure each of thousands.
        tree->setUniformRowHeights(true);
        tree->clear();
        if (data.containers.empty()) {
            tree->addTopLevelItem(new QTreeWidgetItem({Lang("K_Null_cont")}));
            return;
        }
    }
    auto* filler = new CertTreeFiller(tree, data);
    filler->addSlice();
}

bool CertTreeFilling(const QTreeWidget* tree)
{
    const auto fillers = tree->findChildren<CertTreeFiller*>(QString(), Qt::FindDirectChildrenOnly);
    return std::any_of(fillers.begin(), fillers.end(),
                       [](const CertTreeFiller* filler) { return !filler->finished(); });
}

CertTreeFiller::CertTreeFiller(QTreeWidget* tree, const CertTreeData& data)
    : QObject(tree), m_tree(tree), m_containers(data.containers), m_containerSuffix(Lang("K_Cont")),
      m_containerIcon(TreeIcon(ContainerImage))
{
    m_next.setSingleShot(true);
    m_next.setInterval(0);
    connect(&m_next, &QTimer::timeout, this, &CertTreeFiller::addSlice);
}

void CertTreeFiller::addSlice()
{
    const QSignalBlocker blocker(m_tree);
    QElapsedTimer clock;
    clock.start();
    // The nodes of a slice are built apart from the tree and go in at once: one insertion and
    // one layout a slice, not one a node.
    QList<QTreeWidgetItem*> nodes;
    while (m_done < m_containers.size() && (nodes.isEmpty() || clock.elapsed() < kSliceMs)) {
        const ContainerData& container = m_containers[m_done++];
        auto* node = new QTreeWidgetItem({QString::fromLocal8Bit(container.name) + m_containerSuffix});
        node->setIcon(0, m_containerIcon);
        node->setData(0, kContainerRole, container.name);
        addCertNodes(node, container.pairs[0], kKeySpecExchange);
        addCertNodes(node, container.pairs[1], kKeySpecSignature);
        nodes.append(node);
    }
    m_tree->setUpdatesEnabled(false);
    m_tree->addTopLevelItems(nodes);
    for (QTreeWidgetItem* node : std::as_const(nodes)) {
        node->setExpanded(true);
        for (int i = 0; i < node->childCount(); ++i) {
            node->child(i)->setExpanded(true);
        }
    }
    m_tree->setUpdatesEnabled(true);
    if (m_done < m_containers.size()) {
        m_next.start();
    } else {
        m_finished = true;
        deleteLater();
    }
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

#include "CertTree.moc"
