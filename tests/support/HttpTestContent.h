// Answers the HTTP test servers (plain and TLS) share.
#pragma once

#include <httplib.h>

#include <cstddef>
#include <string>

// A chunked body of `total` bytes sent in pieces of `piece` bytes; each piece
// is one letter, 'a' for the first, then 'b', ... (after 'z' again 'a').
inline httplib::ContentProviderWithoutLength LetterChunks(std::size_t total, std::size_t piece) {
  return [total, piece](std::size_t offset, httplib::DataSink& sink) {
    if (offset >= total) {
      sink.done();
      return true;
    }
    std::string bytes(piece, static_cast<char>('a' + offset / piece % 26));
    sink.write(bytes.data(), bytes.size());
    return true;
  };
}
