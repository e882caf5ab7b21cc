// The model of how a listing splits a tool's output into lines, for the listing targets.
//
// The output is read in pieces of at most 1023 bytes, a piece ending early after a newline.
// Each piece is one line: it loses its newline, and its text ends at its first NUL byte. A
// piece that only holds the newline of a line cut before it is no line. With a header
// marker, the lines up to and including the whole line (all its pieces) that first holds the
// marker in one of its pieces are the header and give nothing; without any such line, all of
// the output is header.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace fuzz {

constexpr std::size_t kPieceLimit = 1023;

struct ModelLine {
    std::string text;
    bool last_piece;  // the line ends with this piece: its newline follows, or the output ends
};

inline std::vector<ModelLine> model_lines(const std::string &output, const char *marker) {
    std::vector<ModelLine> pieces;
    bool continues = false;
    for (std::size_t at = 0; at < output.size();) {
        std::size_t length = 0;
        while (at + length < output.size() && length < kPieceLimit) {
            ++length;
            if (output[at + length - 1] == '\n') {
                break;
            }
        }
        std::string piece = output.substr(at, length);
        at += length;
        const bool ends_line = piece.back() == '\n';
        if (ends_line) {
            piece.pop_back();
        }
        const bool newline_of_cut_line = continues && ends_line && piece.empty();
        continues = !ends_line;
        if (newline_of_cut_line) {
            pieces.back().last_piece = true;
            continue;
        }
        pieces.push_back({piece.substr(0, piece.find('\0')), ends_line || at == output.size()});
    }
    if (marker == nullptr) {
        return pieces;
    }
    bool marker_seen = false;
    for (std::size_t index = 0; index < pieces.size(); ++index) {
        marker_seen = marker_seen || pieces[index].text.find(marker) != std::string::npos;
        if (marker_seen && pieces[index].last_piece) {
            return {pieces.begin() + static_cast<std::ptrdiff_t>(index) + 1, pieces.end()};
        }
    }
    return {};
}

}  // namespace fuzz
