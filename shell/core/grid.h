// Rows and columns in dialog units, from which a dialog's controls get their rectangles.
// Each track (a row or a column) is the space before it and its extent, laid one after
// another from the grid's origin, so a row added to a grid moves those after it and no
// control is placed by hand. Both front ends place what shell/core describes through it.
#pragma once

#include <vector>

#include "shell/core/dialog_layout.h"

namespace quillmark::shell::layout {

// A row or a column: the space before it, then its extent.
struct Track {
  int space;
  int extent;
};

// Where a control sits: the tracks it spans, and, where it is smaller than they are, its
// own width (from the left of its first column) and height (in the middle of its rows).
struct Cell {
  int row;
  int column;
  int rowSpan = 1;
  int columnSpan = 1;
  int cx = 0;  // 0: as wide as the columns spanned
  int cy = 0;  // 0: as tall as the rows spanned
};

class Grid {
 public:
  // The first column starts at `x` (after its space), the first row at `y`.
  Grid(int x, int y, std::vector<Track> columns, std::vector<Track> rows);

  // The rectangle of `cell`; a cell outside the grid is a fault of the description and
  // gets an empty rectangle at the origin.
  Rect Place(const Cell& cell) const;
  // Where the last row ends and the last column ends.
  int Bottom() const { return rowEnds_.empty() ? y_ : rowEnds_.back(); }
  int Right() const { return columnEnds_.empty() ? x_ : columnEnds_.back(); }
  int rows() const { return static_cast<int>(rowEnds_.size()); }

 private:
  int x_, y_;
  std::vector<int> columnStarts_, columnEnds_;
  std::vector<int> rowStarts_, rowEnds_;
};

}  // namespace quillmark::shell::layout
