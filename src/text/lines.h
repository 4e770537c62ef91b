// Lines of text, read in pieces of a bounded size. One rule for every
// reader: a piece is at most cap - 1 characters, up to a line feed; a CR LF
// pair reads as one line feed wherever it falls; the line feed ends the
// piece. A longer line is read as several pieces, each counting as a line of
// its own. NUL bytes are kept as they are.
#pragma once
#include <cstddef>
#include <cstdio>

// What becomes of the line feed that ends a piece.
enum txt_line_feed {
  TXT_DROP_LF,  // not part of the piece (the file readers)
  TXT_KEEP_LF,  // kept at the piece's end, as fgets keeps it (command lines, answers);
                // it takes one of the cap - 1 places, so the pieces are the same
};

// The next piece of text[*pos, size) without copying: its length, and its
// first character in *piece (inside `text`); *pos moves past the piece and
// its line end. -1 once *pos has reached `size`.
int txt_text_piece(const char* text, size_t size, size_t* pos, int cap, const char** piece);
// The same piece copied into `buf` and ended by a NUL.
int txt_text_line(const char* text, size_t size, size_t* pos, char* buf, int cap, txt_line_feed lf = TXT_DROP_LF);
// The next piece of a stream opened in binary mode, copied into `buf` and
// ended by a NUL. Reads no further than the line end (one character past a
// CR, put back when it is no line feed). -1 at the end of the stream, or on a
// read error (a piece cut short by it is no piece; std::ferror tells the two
// apart).
int txt_read_line(FILE* f, char* buf, int cap, txt_line_feed lf = TXT_DROP_LF);
