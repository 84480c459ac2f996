// A report built into an in-memory tree from the scripted provider.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

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

class FakeReportFixture : public ::testing::Test {
protected:
    void SetUp() override {
        iphelper_testing::ResetProcessState();
        fake_ = FakeIn(FAKE_FULL_DIR);
        ASSERT_NE(fake_, nullptr);
        *fake_ = FakeControl{};
        setenv("TESSALINE_LIBRARY_PATH", FAKE_FULL_DIR, 1);
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

    FakeControl* fake_ = nullptr;
    MemoryTree tree_;
    std::unique_ptr<CNetworkReport> report_;
};
