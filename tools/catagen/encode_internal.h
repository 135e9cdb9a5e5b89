// The body encoders behind encodeDatabase, one per layout. Each writes everything after the version word;
// the tree has passed checkEncodable, and files are checked as they are met.
#pragma once

#include <string>
#include <vector>

#include "catagen/encode.h"

namespace catagen {

struct EncodeContext {
    Version version;
    CountWriter counts;
    std::vector<uint32_t> rootFilesystem;  // per folder
    EncodeMarks* marks = nullptr;          // set only when the caller asked for marks
    uint64_t start = 0;                    // the sink's position at the signature

    // Records where the next byte will go, when marks are asked for.
    void mark(const ByteSink& sink, uint64_t& field) const {
        if (marks != nullptr) field = position(sink) - start;
    }
    void markFilesystem(const ByteSink& sink) const {
        if (marks != nullptr) marks->filesystems.push_back(position(sink) - start);
    }
    void markExclude(const ByteSink& sink) const {
        if (marks != nullptr) marks->excludes.push_back(position(sink) - start);
    }
    // Opens a record's marks, or gives null when none are asked for.
    EncodeMarks::Record* openFolder() const { return marks ? &marks->folders.emplace_back() : nullptr; }
    EncodeMarks::Record* openFile() const { return marks ? &marks->files.emplace_back() : nullptr; }
    void mark(const ByteSink& sink, EncodeMarks::Record* record, uint64_t EncodeMarks::Record::*field) const {
        if (record != nullptr) record->*field = position(sink) - start;
    }
};

std::string encodeBody166(const Tree& tree, EncodeContext& context, ByteSink& sink);
std::string encodeBody167(const Tree& tree, EncodeContext& context, ByteSink& sink);
std::string encodeBodyEarly(const Tree& tree, EncodeContext& context, ByteSink& sink);  // 1.7.5, 1.7.8
std::string encodeBodyLate(const Tree& tree, EncodeContext& context, ByteSink& sink);   // 1.7.17, 1.7.20

}  // namespace catagen
