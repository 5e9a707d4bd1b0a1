#pragma once

#include <string>
#include <vector>

namespace lorvent::server {

// Rows of cells as text columns, each padded to its widest cell and counted
// in characters rather than bytes, so that names with diacritics line up.
// Each line starts with `indent`; trailing spaces are left off.
std::string AlignedColumns(const std::vector<std::vector<std::string>>& rows,
                           const std::string& indent = "");

// Minutes as hours with two decimals ("8.55" for 8 h 33 min), the decimal
// point given: ',' for a Czech spreadsheet.
std::string HoursText(long long minutes, char decimalPoint);

} // namespace lorvent::server
