// libFuzzer harness for the reader of `note create --json` / `memory create --json`. Any bytes
// must be read without a crash; the reader must agree with a full JSON parse (nlohmann's) about
// what is valid JSON (refusing beyond it only a key given twice, a NUL byte or a byte order
// mark) and what the entry's values are; and a failure's detail is one of the fixed forms,
// whose only variable parts are a position or an unknown key (never a value).
#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/json_survey.h"
#include "src/commands/textentry_input.h"
#include "src/json/reader.h"

namespace {

using tessarin::fuzz::is_reader_refusal;
using tessarin::fuzz::starts_with;

void check(bool condition) {
    if (!condition)
        __builtin_trap();
}

bool is_parse_failure(std::string_view detail) {
    constexpr std::string_view prefix = "invalid JSON on stdin: ";
    return starts_with(detail, prefix) &&
           is_reader_refusal(detail.substr(prefix.size()), tessarin::k_any_depth);
}

bool is_allowed(const std::string& key) {
    return key == "summary" || key == "content" || key == "status" || key == "embeddings" ||
           key == "embedding_model";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using nlohmann::json;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto read = tessarin::read_text_entry_json(text);
    const json doc = json::parse(text.begin(), text.end(), nullptr, false);
    const tessarin::fuzz::Survey survey(text);

    if (doc.is_discarded()) {
        check(read.is_error() && is_parse_failure(read.error().detail));
        return 0;
    }
    if (read.is_error()) {
        const std::string& detail = read.error().detail;
        check(read.error().code() == "TS-2000");
        if (is_parse_failure(detail)) {
            check(survey.reader_may_refuse(tessarin::k_any_depth));
        } else if (starts_with(detail, "unknown key '")) {
            check(doc.is_object());
            bool found = false;
            for (const auto& [key, value] : doc.items()) {
                if (!is_allowed(key)) {
                    // The first unknown key in byte order is the one named.
                    check(detail.find("'" + key + "'") != std::string::npos);
                    found = true;
                    break;
                }
            }
            check(found);
        } else if (detail == "JSON missing \"summary\" field") {
            check(!doc.is_object() || !doc.contains("summary") || !doc["summary"].is_string());
        } else {
            check(detail == "JSON missing \"content\" field");
            check(!doc.contains("content") || !doc["content"].is_string());
        }
        return 0;
    }
    const tessarin::TextEntryValues& v = read.value();
    check(!survey.duplicate && !survey.has_nul);
    check(doc.is_object());
    for (const auto& [key, value] : doc.items()) check(is_allowed(key));
    check(doc["summary"].get<std::string>() == v.summary.expose_text());
    check(doc["content"].get<std::string>() == v.content.expose_text());
    const auto status = doc.find("status");
    check(v.status == (status != doc.end() && status->is_string() ? status->get<std::string>()
                                                                  : std::string("draft")));
    const auto embeddings = doc.find("embeddings");
    check(v.embeddings.has_value() == (embeddings != doc.end() && embeddings->is_string()));
    if (v.embeddings)
        check(*v.embeddings == embeddings->get<std::string>());
    const auto model = doc.find("embedding_model");
    check(v.embedding_model.has_value() == (model != doc.end() && model->is_string()));
    if (v.embedding_model)
        check(*v.embedding_model == model->get<std::string>());
    return 0;
}
