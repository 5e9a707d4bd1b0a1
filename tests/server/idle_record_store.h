#pragma once

#include "server/record_store.h"

namespace lorvent::testing {

// A record store that holds nothing and reads as empty: the base of the
// doubles that give one of its calls a behaviour of their own.
class TIdleRecordStore : public server::RecordStore {
public:
    server::AddedRecords Add(std::span<const server::StoredRecord> records) override {
        return server::AddedRecords(records.size(), true);
    }
    void ForEach(const server::RecordVisitor&) override {}
    void ForEachOnDay(std::string_view, const server::RecordVisitor&) override {}
    void ForEachInDays(std::string_view, std::string_view, const server::RecordVisitor&) override {}
    server::ImportMark FindImportMark(std::string_view) override { return {}; }
    std::size_t AddImported(std::string_view, std::span<const server::StoredRecord>,
                            const server::ImportMark&, const server::ImportMark&) override {
        return 0;
    }
};

} // namespace lorvent::testing
