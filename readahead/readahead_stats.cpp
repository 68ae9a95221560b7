#include "readahead/readahead_stats.hpp"

#include <boost/format.hpp>

namespace quarnix {

std::string format_readahead_stats(const readahead_stats_t& stats) {
  const double total = static_cast<double>(stats.total_predictions);
  const double first_hits = static_cast<double>(stats.first_hits);
  const double hits = static_cast<double>(stats.hits);
  const double late = static_cast<double>(stats.hits_not_prefetched);
  const double first_of_expected = first_hits / stats.expected_first_hits * 100;
  const double first_of_total = first_hits / total * 100;
  const double hits_of_expected = hits / stats.expected_hits * 100;
  const double hits_of_total = hits / total * 100;
  const double late_share = late / hits * 100;

  std::string text = "INFO: Read-ahead stats:\n";
  text += (boost::format("  %6d total predictions\n") % stats.total_predictions).str();
  text += (boost::format("  %6.0f expected first hits\n") % stats.expected_first_hits).str();
  text += (boost::format("  %6.0f expected hits\n") % stats.expected_hits).str();
  text += (boost::format("  %6d first hits (%.2f%% of expected, %.2f%% of total)\n") %
           stats.first_hits % first_of_expected % first_of_total)
              .str();
  text += (boost::format("  %6d hits (%.2f%% of expected, %.2f%% of total)\n") % stats.hits %
           hits_of_expected % hits_of_total)
              .str();
  text += (boost::format("  %6d hits not pre-fetched in time (%.2f%%)\n") %
           stats.hits_not_prefetched % late_share)
              .str();
  return text;
}

}  // namespace quarnix
