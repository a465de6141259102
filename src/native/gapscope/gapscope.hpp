// What the files of the analysis module share: the module record and the
// declarations of its functions.
#pragma once

#include "boundary/caught.hpp"
#include "boundary/function.hpp"
#include "boundary/module.hpp"

namespace gapscope {

extern boundary::ModuleRecord module;

// Built-ins bound once at execution, by position in the module record.
enum Builtin : std::size_t { builtin_print, builtin_sorted, builtin_sum };

// `except json.JSONDecodeError:`, with `json` looked up in the module (request.cpp).
bool is_decode_error(const boundary::Caught& caught);

// The analysis prompt (prompt.cpp).
extern const char analysis_prompt[];

// Function declarations, one concern per file.
extern const boundary::FunctionSpec analyze_requirements_spec;   // request.cpp
extern const boundary::FunctionSpec result_init_spec;            // result.cpp
extern const boundary::FunctionSpec result_empty_spec;
extern const boundary::FunctionSpec result_unanswered_gaps_spec;
extern const boundary::FunctionSpec result_bypass_summary_spec;
extern const boundary::FunctionSpec completeness_label_spec;     // report.cpp
extern const boundary::FunctionSpec display_analysis_spec;
extern const boundary::FunctionSpec display_gap_spec;
extern const boundary::FunctionSpec extract_json_spec;           // json_repair.cpp

}  // namespace gapscope
