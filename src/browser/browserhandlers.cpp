// SPDX-License-Identifier: GPL-3.0-or-later
#include "browser/browserhandlers.h"

#include "toolkit/guard.h"

namespace quorivo {

using opc::OpcError;
namespace S = opc::Status;

namespace {
const QString Operation = QStringLiteral("Espolora risorse");

OPCAutomation::OPCBrowser &browser(const OPCAutomation::BrowserPtr &p)
{
    if (!p)
        throw OpcError(S::E_FAIL);
    return *p;
}

// Probes before giving up on the plain form: only a branch with tens of
// thousands of unopened sub-branches fills every number.
constexpr int PlaceholderProbes = 64;
int64_t g_extraPlaceholders = 0;
} // namespace

QString BrowserHandlers::nextPlaceholderKey(Form1 &f)
{
    auto nodes = f.TreeView1->Nodes();
    for (int probe = 0; probe < PlaceholderProbes; ++probe) {
        f.EmptyNodeCounter = f.EmptyNodeCounter >= INT16_MAX ? int16_t{1} : static_cast<int16_t>(f.EmptyNodeCounter + 1);
        const QString key = PlaceholderMark + opc::signedNumberText(f.EmptyNodeCounter);
        if (!nodes.Item(key))
            return key;
    }
    // Every nearby number is taken: a suffix that no plain key has keeps it unique.
    return PlaceholderMark + opc::signedNumberText(f.EmptyNodeCounter) + QLatin1Char('~') +
           QString::number(++g_extraPlaceholders);
}

void BrowserHandlers::MoveBrowserToPath(Form1 &f, const QString &path)
{
    auto &b = browser(f.ConnectedServerBrowser);
    b.MoveToRoot();
    if (path.size() <= f.BrowseRootName.size())
        return;
    const QString rest = path.mid(f.BrowseRootName.size() + 1);
    for (const QString &name : rest.split(KeySeparator))
        b.MoveDown(name);
}

void BrowserHandlers::Command1_Click(Form1 &f)
{
    if (!f.ConnectedOPCServer)
        return;
    try {
        f.ConnectedServerBrowser = f.ConnectedOPCServer->CreateBrowser();
        const QString serverName = f.ConnectedOPCServer->ServerName();
        // One "Items" column for the life of the window, however often it browses.
        if (!f.m_itemsColumn) {
            f.ListView1->ColumnHeaders().Add(QStringLiteral("Items"), f.ListView1->Width());
            f.m_itemsColumn = true;
        }
        f.ListView1->setView(toolkit::ListView::ReportView);
        if (f.ConnectedServerBrowser) {
            auto root = f.TreeView1->Nodes().Add(serverName, serverName);
            root.EnsureVisible();
            f.TreeView1->Nodes().Add(serverName, toolkit::TreeView::tvwChild, PlaceholderMark + opc::signedNumberText(1), {});
        }
        f.setControlEnabled(Ctl::Command1, false);
    } catch (...) {
        f.DisplayOPC_COM_ErrorValue(Operation, currentErrorNumber());
    }
}

void BrowserHandlers::TreeView1_Expand(Form1 &f, const toolkit::Node &node)
{
    if (!f.ConnectedServerBrowser)
        return;
    try {
        if (const auto first = node.Child(); first && first->Key().contains(PlaceholderMark))
            f.TreeView1->Nodes().Remove(first->Key());
        if (!f.ConnectedOPCServer)
            throw OpcError(S::E_FAIL);
        f.BrowseRootName = f.ConnectedOPCServer->ServerName();
        MoveBrowserToPath(f, node.Key());
        auto &b = *f.ConnectedServerBrowser;
        b.ShowBranches();
        // Counted in 32 bits: a branch may hold more than 32767 sub-branches.
        const int32_t n = b.Count();
        auto nodes = f.TreeView1->Nodes();
        const QString parentKey = node.Key();
        for (int32_t i = 1; i <= n; ++i) {
            const QString placeholder = nextPlaceholderKey(f);
            const QString name = b.Item(i);
            const QString key = parentKey + KeySeparator + name;
            nodes.Add(parentKey, toolkit::TreeView::tvwChild, key, name);
            nodes.Add(key, toolkit::TreeView::tvwChild, placeholder, {});
        }
    } catch (...) {
        f.DisplayOPC_COM_ErrorValue(Operation, currentErrorNumber());
    }
}

void BrowserHandlers::TreeView1_Collapse(Form1 &f, const toolkit::Node &node)
{
    try {
        if (node.Children() > 0)
            f.RemoveChildren(node, true);
        f.TreeView1->Nodes().Add(node.Key(), toolkit::TreeView::tvwChild, nextPlaceholderKey(f), {});
    } catch (...) {
        f.DisplayOPC_COM_ErrorValue(Operation, currentErrorNumber());
    }
}

void BrowserHandlers::TreeView1_Click(Form1 &f)
{
    const auto selected = f.TreeView1->SelectedItem();
    // Without a connection there is nothing to list.
    if (!f.ConnectedOPCServer)
        return;
    try {
        f.BrowseRootName = f.ConnectedOPCServer->ServerName();
        if (!selected)
            return;
        MoveBrowserToPath(f, selected->Key());
        f.ListView1->ListItems().Clear();
        f.m_leafListKey = selected->Key();
        auto &b = *f.ConnectedServerBrowser;
        b.ShowLeafs(false);
        const int32_t n = b.Count();
        auto rows = f.ListView1->ListItems();
        for (int32_t i = 1; i <= n; ++i)
            rows.Add(QStringLiteral("Item") + opc::signedNumberText(i), b.Item(i));
    } catch (...) {
        f.DisplayOPC_COM_ErrorValue(Operation, currentErrorNumber());
    }
}

// The pick resolves the leaf in the branch whose leaves the list shows,
// wherever the tree has moved the browser since.
void BrowserHandlers::ListView1_Click(Form1 &f)
{
    endSilentlyOnFailure([&] {
        const auto selected = f.ListView1->SelectedItem();
        if (!selected)
            return;
        const QString leaf = selected->Text();
        MoveBrowserToPath(f, f.m_leafListKey);
        f.Text1->setText(browser(f.ConnectedServerBrowser).GetItemID(leaf));
    });
}

void installBrowserHandlers()
{
    Form1::addInstaller([](Form1 &f) {
        using toolkit::connectGuarded;
        connectGuarded(f.Command1, &QPushButton::clicked, &f, "Command1", [&f] { BrowserHandlers::Command1_Click(f); });
        connectGuarded(f.TreeView1, &toolkit::TreeView::Expand, &f, "TreeView1.Expand",
                       [&f](const toolkit::Node &node) { BrowserHandlers::TreeView1_Expand(f, node); });
        connectGuarded(f.TreeView1, &toolkit::TreeView::Collapse, &f, "TreeView1.Collapse",
                       [&f](const toolkit::Node &node) { BrowserHandlers::TreeView1_Collapse(f, node); });
        connectGuarded(f.TreeView1, &toolkit::TreeView::Click, &f, "TreeView1.Click",
                       [&f] { BrowserHandlers::TreeView1_Click(f); });
        connectGuarded(f.ListView1, &toolkit::ListView::Click, &f, "ListView1.Click",
                       [&f] { BrowserHandlers::ListView1_Click(f); });
    });
}

} // namespace quorivo
