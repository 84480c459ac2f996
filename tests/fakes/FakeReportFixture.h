// A report built into an in-memory tree from the scripted provider.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "FakeProvider.h"
#include "IpHelper.h"
#include "MemoryTree.h"
#include "NetworkReport.h"

// The control block of the fake provider in `dir`: the same instance as the
// binding's, since the same file is opened.
inline FakeControl* FakeIn(const char* dir) {
    const std::string path = std::string(dir) + "/libiphlpapi.so";
    void* library = dlopen(path.c_str(), RTLD_NOW);
    if (library == nullptr) return nullptr;
    void* symbol = dlsym(library, "FakeProviderControl");
    if (symbol == nullptr) return nullptr;
    FakeProviderControlFn control = nullptr;
    std::memcpy(&control, &symbol, sizeof control);
    return control();
}

// Starts the process state afresh on the full fake provider, its script
// cleared; null when the fake cannot be loaded.
inline FakeControl* UseFreshFakeProvider() {
    iphelper_testing::ResetProcessState();
    FakeControl* fake = FakeIn(FAKE_FULL_DIR);
    if (fake == nullptr) return nullptr;
    *fake = FakeControl{};
    setenv("TESSALINE_LIBRARY_PATH", FAKE_FULL_DIR, 1);
    return fake;
}

class FakeReportFixture : public ::testing::Test {
protected:
    void SetUp() override {
        fake_ = UseFreshFakeProvider();
        ASSERT_NE(fake_, nullptr);
    }
    void TearDown() override {
        report_.reset();
        iphelper_testing::ResetProcessState();
    }

    void Build(int kind) {
        report_ = std::make_unique<CNetworkReport>(kind);
        report_->SetReportTree(&tree_);
        report_->BuildReport();
    }

    std::vector<HTREEITEM> Children(HTREEITEM parent) {
        std::vector<HTREEITEM> out;
        for (HTREEITEM item = tree_.GetChildItem(parent); item != nullptr; item = tree_.GetNextSiblingItem(item))
            out.push_back(item);
        return out;
    }

    // Every item, one a line: two blanks of indent per level, the image, "B"
    // when bold, "+" when expanded, a blank, the text (characters outside
    // printable ASCII as \xNN, so that a text read past its field shows).
    std::vector<std::string> Dump() {
        std::vector<std::string> out;
        DumpUnder(TVI_ROOT, 0, out);
        return out;
    }

    FakeControl* fake_ = nullptr;
    MemoryTree tree_;
    std::unique_ptr<CNetworkReport> report_;

private:
    void DumpUnder(HTREEITEM parent, int depth, std::vector<std::string>& out) {
        for (HTREEITEM item : Children(parent)) {
            std::string line(static_cast<std::size_t>(depth) * 2, ' ');
            line += std::to_string(tree_.Image(item));
            if (tree_.IsBold(item)) line += 'B';
            if (tree_.IsExpanded(item)) line += '+';
            line += ' ';
            for (char16_t ch : tree_.Text(item)) {
                if (ch >= 0x20 && ch < 0x7F) {
                    line += static_cast<char>(ch);
                } else {
                    char escaped[16];
                    std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned>(ch));
                    line += escaped;
                }
            }
            out.push_back(line);
            DumpUnder(item, depth + 1, out);
        }
    }
};
