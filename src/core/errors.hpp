// Every error the library reports, with its message: one list, so that a code and its text
// never drift apart. A message's "%s" stands for what it is about (a file's name, a switch).
#pragma once

#include <string>
#include <string_view>

namespace kvr {

// Add new errors here.
#define KELVARIN_ERRORS(E)                                                                    \
    /* loading a recording */                                                                 \
    E(no_memory, "Not enough memory to load input file!")                                     \
    E(bad_version, "This version of the sample file is not supported!")                       \
    E(bad_data, "The sample data is in a unsupported format!")                                \
    E(empty_file, "The sample file is empty!")                                                \
    E(too_long, "The sample file is too long!")                                               \
    E(cannot_open_input, "Cannot open input file %s !")                                       \
    E(cannot_read_input, "Cannot read input file %s !")                                       \
    E(rate_too_high, "The sample rate is above %s Hz!")                                       \
    /* the command line and the output */                                                     \
    E(invalid_option, "Invalid Option %s !")                                                  \
    E(too_many_files, "Too Many files on command line!")                                      \
    E(no_files, "No Files specified !")                                                       \
    E(output_is_input, "The output file %s is the input file!")                               \
    E(cannot_create_output, "Cannot create output file %s !")                                 \
    E(cannot_write_output, "Cannot write output file %s !")                                   \
    E(no_blocks, "No blocks found... please consult the documentation!")                      \
    /* kvrtool: inputs that are no recording, outputs it will not write */                  \
    E(input_is_kvr_image, "%s is a KVR tape image, not a recording: 'kvrtool list' lists it, 'kvrtool play' plays it") \
    E(input_is_tap_file, "%s is a TAP file, not a recording: 'kvrtool list' lists it, 'kvrtool play' plays it") \
    E(input_is_text, "%s is a text file, not a recording")                                   \
    E(input_not_sound, "%s is not a sound file that can be read")                             \
    E(input_cut_short, "%s is cut short: its header states more sound than the file holds")   \
    E(output_exists, "%s exists; give -f (--force) to replace it")                            \
    E(output_named_as_sound, "%s is a sound file's name; an image is never written under it") \
    E(output_twice, "%s would be written twice in this run")                                  \
    E(output_no_folder, "%s is not a folder")                                                 \
    E(wav_into_pipe, "a pipe takes no more than 64 KiB of this format, whose header is completed at its end: give --format voc16 or csw, or a file") \
    E(recording_to_terminal, "a recording is not written to a terminal: redirect the standard output, or give -o FILE") \
    /* reading an image (each told with the offset where it went wrong) */                    \
    E(image_unreadable, "cannot read the file")                                               \
    E(image_bad_signature, "bad signature")                                                   \
    E(image_header_short, "header runs past the end of the file")                             \
    E(image_unknown_block, "unknown block ID %s")                                             \
    E(image_block_short, "block runs past the end of the file")                               \
    E(image_record_short, "record runs past the end of the file")

enum class Error {
#define KELVARIN_ERROR_CODE(code, message) code,
    KELVARIN_ERRORS(KELVARIN_ERROR_CODE)
#undef KELVARIN_ERROR_CODE
};

// The message of an error as the list has it.
std::string_view error_message(Error error);
// The message with `subject` in place of its "%s".
std::string error_text(Error error, std::string_view subject = {});

}  // namespace kvr
