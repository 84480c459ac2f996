// Builds one report with the provider beside this program, as a pane does,
// and prints its tree with what --print leaves out: each line is two blanks
// of indent per level, "+" when the item is expanded, "B" when bold, a blank
// and the text.  For the end-to-end tests in namespaces.
//
//   report_dump KIND
#include <cstdio>
#include <cstdlib>
#include <string>

#include "MemoryTree.h"
#include "NetworkReport.h"
#include "WideText.h"

namespace {

void DumpUnder(MemoryTree& tree, HTREEITEM parent, int depth, std::string& out) {
    for (HTREEITEM item = tree.GetChildItem(parent); item != nullptr; item = tree.GetNextSiblingItem(item)) {
        out.append(static_cast<std::size_t>(depth) * 2, ' ');
        if (tree.IsExpanded(item)) out += '+';
        if (tree.IsBold(item)) out += 'B';
        out += ' ';
        out += WideToUtf8(tree.Text(item));
        out += '\n';
        DumpUnder(tree, item, depth + 1, out);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: report_dump KIND\n");
        return 2;
    }
    MemoryTree tree;
    CNetworkReport report(std::atoi(argv[1]));
    report.SetReportTree(&tree);
    report.BuildReport();
    std::string out;
    DumpUnder(tree, TVI_ROOT, 0, out);
    std::fputs(out.c_str(), stdout);
    return 0;
}
