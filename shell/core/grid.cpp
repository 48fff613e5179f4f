// The arithmetic of layout::Grid: tracks laid end to end, cells the span of theirs.
#include "shell/core/grid.h"

#include <utility>

namespace quillmark::shell::layout {
namespace {

void Lay(int start, const std::vector<Track>& tracks, std::vector<int>& starts,
         std::vector<int>& ends) {
  int at = start;
  for (const Track& track : tracks) {
    at += track.space;
    starts.push_back(at);
    at += track.extent;
    ends.push_back(at);
  }
}

}  // namespace

Grid::Grid(int x, int y, std::vector<Track> columns, std::vector<Track> rows) : x_(x), y_(y) {
  Lay(x, columns, columnStarts_, columnEnds_);
  Lay(y, rows, rowStarts_, rowEnds_);
}

Rect Grid::Place(const Cell& cell) const {
  const auto inside = [](int first, int span, const std::vector<int>& tracks) {
    return first >= 0 && span >= 1 && static_cast<std::size_t>(first + span) <= tracks.size();
  };
  if (!inside(cell.row, cell.rowSpan, rowStarts_) ||
      !inside(cell.column, cell.columnSpan, columnStarts_)) {
    return {x_, y_, 0, 0};
  }
  const auto at = [](const std::vector<int>& v, int i) { return v[static_cast<std::size_t>(i)]; };
  const int left = at(columnStarts_, cell.column);
  const int top = at(rowStarts_, cell.row);
  const int width = at(columnEnds_, cell.column + cell.columnSpan - 1) - left;
  const int height = at(rowEnds_, cell.row + cell.rowSpan - 1) - top;
  const int cx = cell.cx > 0 ? cell.cx : width;
  const int cy = cell.cy > 0 ? cell.cy : height;
  return {left, top + (height - cy) / 2, cx, cy};
}

}  // namespace quillmark::shell::layout
