// tiltfit: calibrates a three-axis accelerometer from one recording of six rests (each axis up
// and down) and says how good the result is.
//
//   tiltfit::Recording rec = tiltfit::readRecording("rec.csv");
//   tiltfit::Result r = tiltfit::calibrateAuto(rec);
//   if (r.success) { auto c = r.calibration.apply({x, y, z}); }
//
// Everything here is plain values. Errors that stop a call (a file that cannot be read, an
// argument that cannot work) throw tiltfit::Error; std::bad_alloc propagates. A calibration that
// does not succeed is no error: Result::success is false and Result::problems says why.
// Functions may be called from several threads at once on different data; each runs the core's
// parallel parts on OpenMP threads of its own.
#ifndef TILTFIT_TILTFIT_HPP
#define TILTFIT_TILTFIT_HPP

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tiltfit/gyro.hpp"
#include "tiltfit/noise.hpp"
#include "tiltfit/types.hpp"

namespace tiltfit {

// Reads a delimiter as --delimiter, a calibration file and the Python module name it: one
// character other than a digit, a sign, a point, 'e' or a line end; "tab" (or a tab); "space" (or
// a space) for runs of blanks. Returns "" and sets layout.delimiter and layout.blanks, or why the
// text names no delimiter ("must be one character other than ...").
std::string delimiterFromName(const std::string& text, Layout& layout);
// The name that gives layout's delimiter back: "space", "tab" or the character itself.
std::string delimiterName(const Layout& layout);

struct ReadOptions {
  Layout layout;
  bool detectDelimiter = false;  // sniff `,` `;` tab or blanks from the text
  // Pick the accelerometer's three columns: by their names where a header names them, else by
  // their values (a time or counter column skipped).
  bool detectColumns = false;
  // Pick a gyroscope's three columns by their names, and a time or counter column beside them,
  // unless the layout gives the gyro's (then only the time is looked for).
  bool detectGyro = false;
  // Report each field that is not a number on standard error ("Header : FIELD") and an unreadable
  // file ("Can not open csv file"), as the classic command does. Otherwise they are only counted.
  bool reportToStderr = false;
  // One row per line of the text, as the classic command reads it: a line without readings (a
  // header, a blank line) becomes a row of zeros, and any bytes are read as text. Otherwise such
  // lines are left out, gzip data are decompressed and other binary data are refused.
  bool keepLinesWithoutReadings = false;
  // Refuse (Error::Kind::kTooManyRows) a text of more than 715,827,881 lines, the most that the
  // calibration core's N x 3 arrays hold. A caller that never hands the recording to the core
  // (calibrate() and the six rests need it) may turn it off; line numbers, which are 32-bit, then
  // bound a text to 4,294,967,294 lines.
  bool limitRowsToCore = true;
};

// Rows row, row + 1, ... of a run were read from lines line, line + step, ... of the text (line
// 1-based), up to the row of the next run.
struct LineRun {
  std::uint32_t row = 0;
  std::uint32_t line = 1;
  std::uint32_t step = 1;
};

// The runs of n rows read from lines[0], lines[1], ... (1-based line numbers, increasing), as a
// reader records them. Throws Error (kInvalidArgument) for lines that do not increase from 1 up
// or pass 4,294,967,295.
std::vector<LineRun> lineRunsOf(const std::int64_t* lines, std::size_t n);

// One recording: three columns with one row per sample, and the line of the text each came from.
struct Recording {
  std::vector<double> x, y, z;
  // With a gyroscope (layout.hasGyro()): its raw readings, and the time column's values when the
  // layout has one; empty otherwise.
  std::vector<double> gx, gy, gz, t;
  Layout layout;                    // as read, detected parts included
  std::uint64_t skippedFields = 0;  // fields that were not numbers (headers)
  std::string firstSkippedField;
  // Lines left out because their fields at the layout's columns are not all numbers (a header, a
  // blank line, a record of another kind), the first of them (1-based; 0 when none) and its first
  // 120 bytes.
  std::uint64_t linesWithoutReadings = 0;
  std::uint64_t firstLineWithoutReadings = 0;
  std::string firstLineWithoutReadingsText;
  // The line of each row, as runs sorted by row, the first at row 0; a few runs whatever the
  // length unless lines are left out at no regular step. Empty: row r is line r + 1 (samples of
  // one's own, or a text read with every line kept).
  std::vector<LineRun> lineRuns;
  // How the columns were chosen, in words ("named \"accX\", ... in the header"), when detected.
  std::string columnsReason;
  // The names the header gives the three columns (x, y, z), or empty strings when it names none.
  std::array<std::string, 3> columnNames;
  // The gyroscope's and the time's columns, as the header names them and why they were taken;
  // what the names say of their units ("deg/s", "rad/s", "counts"; "s", "ms", "us", "ns"); a
  // sample rate a header line gave (Hz, 0 when none did) and that line.
  std::array<std::string, 3> gyroNames;
  std::string gyroReason;
  std::string gyroUnitsInHeader;
  std::string timeName;
  std::string timeReason;
  std::string timeUnitsInHeader;
  double rateFromHeader = 0.0;
  std::string rateLine;
  // The unit the chosen columns' names give ("g", "m/s^2", "mg", "counts"), or empty. A hint: the
  // calibration judges the units from the values.
  std::string unitsInHeader;
  bool gzip = false;  // the text was gzip data, decompressed
  // What the bytes look like when they are no text but were read as text all the same
  // (keepLinesWithoutReadings): "gzip data", "binary data" ...; empty for text.
  std::string notText;
  std::vector<std::string> sampleLines;  // lines of the text, kept to diagnose its layout
  // Samples read but not held: read as a stream (calibrateStretchesStreaming), or released by a
  // calibration the recording was handed to; 0 otherwise.
  std::uint64_t streamedSamples = 0;
  std::size_t rows() const { return x.size(); }
  // The 1-based line of the text that row (0-based) was read from.
  std::uint64_t lineOf(std::size_t row) const;
};

// Reads a CSV recording, or gzip-compressed CSV; "-" is standard input, read to its end, as is a
// named pipe. Memory holds the columns, not the text: a file is read twice from the page cache, and
// a text that can be read only once (a pipe, gzip data) is kept in a temporary file in $TMPDIR
// (else /tmp) meanwhile, or in memory when none can be written. Throws Error:
// kCannotRead (also for damaged gzip data), kTooManyRows, kNotText, or kInvalidArgument for
// columns (other than 1,2,3) past the end of every line.
Recording readRecording(const std::string& path, const ReadOptions& options = ReadOptions());
// The same from text in memory.
Recording readRecordingFromText(const std::string& text,
                                const ReadOptions& options = ReadOptions());
// A recording from samples already in memory (no header row).
Recording makeRecording(std::vector<double> x, std::vector<double> y, std::vector<double> z);

// Empty when the numbers can work, else why not ("windowWidth must be at least 2 samples"); then
// *which (when given) receives the position of the number at fault, 0 (tolerancePct) to 4.
std::string checkTuningNumbers(const TuningNumbers& numbers, int* which = nullptr);

// The 1-sigma of each number of a calibration, in the same units and layout.
struct CalibrationUncertainty {
  std::array<double, 3> offset{};
  std::array<std::array<double, 3>, 3> gainMatrix{};
};

// calibrated = raw · gainMatrix + offset for raw the row vector (x, y, z):
// calibrated[j] = sum_i raw[i] * gainMatrix[i][j] + offset[j].
struct Calibration {
  std::array<double, 3> offset{};
  std::array<std::array<double, 3>, 3> gainMatrix{};
  bool outputMs2 = false;             // calibrated values in m/s^2, else g
  double gravity = kStandardGravity;  // with outputMs2: what 1 g reads, m/s^2
  bool refined = false;  // the fit over the still stretches, its rotation from six rests
  // How it was made: "six rests" (the six-rest fit), "refined" (every still stretch, rotation
  // from the six rests), "stretches" (the still stretches alone; the matrix is symmetric, the
  // calibration keeps the sensor's own axes) or "identity" (no fit read the stretches better
  // than the raw readings).
  std::string method = "six rests";
  CalibrationUncertainty uncertainty;  // 1-sigma of each number (valid after a success)

  // The rotation the calibration turns its output by, away from the sensor's own axes: R of the
  // polar form G^T = R S (S symmetric, in g), which no magnitude can see and only the directions
  // of rests standing for the six orientations can. As an angle-axis vector (degrees, along the
  // axis, right-handed) and its length; its 1-sigma as the rms error of that vector. The fits
  // over the stretches apply it only where the rests fix it (CalibrateOptions::rotation); the
  // six-rest fit always turns its output to its rests as they lie.
  bool rotationApplied = false;
  std::array<double, 3> rotationVectorDeg{};
  double rotationDeg = 0.0;
  double rotationSigmaDeg = 0.0;
  // The rotation the six rests suggested, applied or not (0 when no rests took part), and why the
  // rotation is what it is, one sentence.
  std::array<double, 3> suggestedRotationVectorDeg{};
  double suggestedRotationDeg = 0.0;
  double suggestedRotationSigmaDeg = 0.0;
  std::string rotationNote;

  std::array<double, 3> apply(const std::array<double, 3>& raw) const;
  // The same calibration as calibrated = G · raw + b with raw a column vector: G is the
  // transpose of gainMatrix, b the offset.
  std::array<std::array<double, 3>, 3> columnGain() const;
};

// Applies c to n samples in place.
void applyCalibration(const Calibration& c, double* x, double* y, double* z, std::size_t n);

// Applying a calibration to a text (tiltfit --apply): what was done to its lines. Lines that hold
// numbers: a digit, and a field at one of the columns that is not blank (a header, a blank line or
// a record whose readings are empty do not count).
struct ApplyCounts {
  std::uint64_t linesWithNumbers = 0;
  std::uint64_t linesCalibrated = 0;
};

// Copies in to out, calibrating every line whose fields at layout.columns all hold a finite
// number: each number is replaced by the calibrated value in the shortest form that reads back to
// the same double, x's value into x's field and so on. Fields are split, and numbers read, as
// every reader of the tool reads them: a field's leading blanks are skipped and its longest
// numeric prefix is its number ("1.5g" reads 1.5, 0x10 reads 16); the blanks and whatever follows
// the number in its field are kept. Infinite and NaN values calibrate nothing. The sums are
// evaluated as ((r_0 * g_0j + r_1 * g_1j) + r_2 * g_2j) + offset_j.
//
// Everything else goes through byte for byte: other fields and the delimiters, every line that
// has too few fields or a non-number among the three (headers, blank lines, garbage), and the line
// ends (LF, CRLF, a last line without one). A line longer than 1 MiB is copied unchanged.
//
// Reads in blocks of 1 MiB per thread and calibrates each block on as many threads as OpenMP
// would use (the output is the same for any number); the memory is a few MiB per thread whatever
// the length of the input. in may be a pipe. head, when given, holds bytes already read from in
// (at most 1 MiB), which come first. counts, when given, receives what was done to the lines.
// Flushes out. Returns 0, or the errno value of the read or write that failed (EIO when the
// stream gave none; EINVAL for columns that are not three different numbers from 1 up or a head
// too long, ENOMEM when a buffer cannot be had).
// With gyro, the gyroscope's fields at layout.gyroColumns are calibrated too, on the lines that
// hold them all.
int applyCalibrationToText(const Calibration& calibration, const Layout& layout, std::FILE* in,
                           std::FILE* out, ApplyCounts* counts = nullptr,
                           const std::string& head = "",
                           const GyroCalibration* gyro = nullptr);

// Judges, on the whole lines of head (the start of a text), whether a layout fits it: "" when at
// least 90 % of the lines that hold numbers have numbers at its columns, and one at least does
// unless the head holds no lines of numbers at all; else the mismatch in words (the delimiter,
// columns past the end of the lines, or how few lines fit).
std::string layoutMismatch(const Layout& layout, const std::string& head);
// Fewer than 90 % of the lines that hold numbers were calibrated: the layout does not fit.
bool tooFewCalibrated(const ApplyCounts& counts);
// Where a header in head (the start of a text) names the three columns: "" and layout.columns
// set to where the names stand, or why not, following "the header " ("names none of them", "does
// not name \"az\"").
std::string columnsByName(const std::array<std::string, 3>& names, const std::string& head,
                          Layout& layout);
// "columns 1,2,3 at ','": the layout in words.
std::string layoutWords(const Layout& layout);

// One of the six orientations, in the order x at -1 g, x at +1 g, y ..., z at +1 g.
struct Orientation {
  int axis = 0;      // 0 = x, 1 = y, 2 = z
  int reading = -1;  // -1 or +1: the level the search looks for on that axis
  bool found = false;
  // The window the fit used, inclusive, as 1-based lines of the text (Recording::lineOf), and as
  // 0-based rows of the recording.
  std::uint32_t firstRow = 1;
  std::uint32_t lastRow = 1;
  std::size_t firstSample = 0;
  std::size_t lastSample = 0;
  std::array<double, 3> mean{};  // of the rows the fit used, in the recording's units
  double angleDeg = 0.0;         // after calibration, between the mean and its axis
  double residualMg = 0.0;       // six-rest fit: |calibrated mean - its target|
  std::string diagnosis;         // when not found: which test stopped the search, by how much
  std::string name() const;      // "x at -1 g"
};

// A still stretch of the recording: a run of samples in which the device lay still.
struct Stretch {
  // Inclusive, as 1-based lines of the text (Recording::lineOf) and as 0-based rows of the
  // recording, like Orientation's.
  std::uint32_t firstRow = 1;
  std::uint32_t lastRow = 1;
  std::size_t firstSample = 0;
  std::size_t lastSample = 0;
  std::array<double, 3> mean{};  // in the recording's units
  bool inQuality = false;        // counted in the quality figures: every stretch the fit used
  double weight = 0.0;           // how far the fit used it: 1 fully, towards 0 when it disagreed
  // Its error | |c(mean)| - 1 g | in mg (signed: + reads more than 1 g) under the calibration
  // made without it; heldOut false (and heldOutMg NaN) where it could not be held out (see
  // Quality::leftOut).
  bool heldOut = false;
  double heldOutMg = 0.0;
  double motionMg = 0.0;  // how much it moved: rms over the axes of what noise does not explain
};

// A stretch of the recording left out of some figure, and why.
struct LeftOutStretch {
  // As Stretch's: 1-based lines of the text and 0-based rows.
  std::uint32_t firstRow = 1;
  std::uint32_t lastRow = 1;
  std::size_t firstSample = 0;
  std::size_t lastSample = 0;
  // true: not taken for a rest at all (it moved too much), so in no figure and not in
  // Result::stretches; false: a stretch of Result::stretches left out of the held-out figures only.
  bool notARest = false;
  std::string reason;  // "moves 41 mg (rms), more than ...", "not held out: ..."
};

// How well the result makes every still stretch read 1 g (mg), and what it rests on.
struct Quality {
  std::size_t stillStretches = 0;
  double normErrorBeforeMg = 0.0;  // raw data, scaled to g
  double worstBeforeMg = 0.0;
  double normErrorAfterMg = 0.0;  // the reported calibration
  double worstAfterMg = 0.0;
  double normErrorSixRestMg = 0.0;
  double normErrorRefinedMg = 0.0;
  int determined = 0;                     // of the nine gains, offsets and cross-axis terms,
                                          // those the data fix rather than the prior
  std::array<bool, 3> crossDetermined{};  // the x-y, x-z, y-z cross-axis terms
  // The mean | |calibrated| - 1 g | over all directions that the calibration's uncertainty
  // implies (mg): what to expect where the recording has no still stretch.
  double expectedErrorMg = 0.0;
  std::size_t stretchesUsed = 0;  // stretches the fit used fully (the others disagreed)
  // How far the six rests lie from their axes (rms per rest, degrees) as the fit over the
  // stretches judged it; 0 without six rests.
  double restTiltDeg = 0.0;
  // Held out: the reported calibration's error on each stretch it was made without (for a fit
  // over the stretches, leave one out: each stretch against the fit of all the others; for the
  // six-rest fit, the stretches outside its six rests; for the identity, every stretch), mean and
  // worst of | |c| - 1 g | in mg over heldOutFolds stretches. What an unseen position shows, where
  // the figures above are those of the positions the fit was made from.
  double heldOutMeanMg = 0.0;
  double heldOutWorstMg = 0.0;
  std::size_t heldOutFolds = 0;
  // Factor by which the held-out errors made the fit's own uncertainty larger (1: they did not);
  // expectedErrorMg and the calibration's uncertainty include it, and expectedErrorMg is never
  // below heldOutMeanMg.
  double uncertaintyScale = 1.0;
  // Stretches left out of the fit and every figure (they moved too much for a rest) or of the
  // held-out figures alone, in recording order, with the reason.
  std::vector<LeftOutStretch> leftOut;
};

struct CalibrateOptions {
  Units units = Units::kG;
  std::string outputUnits;  // "g" or "ms2"; empty: the recording's own unit (g for counts)
  bool refine = false;      // report the fit over the still stretches rather than the six-rest fit
  Method method = Method::kAuto;  // calibrateAuto only
  // For the fits over the stretches; the plain six-rest fit keeps its rests' rotation.
  Rotation rotation = Rotation::kAuto;
  // Calibrate the gyroscope too when the recording has its columns (calibrateAuto), in the frame
  // of the accelerometer's calibration.
  bool gyro = true;
  GyroOptions gyroOptions;
  // What 1 g reads in m/s^2, for recordings and outputs in m/s^2 (the local gravity, or the
  // standard one). 0: kClassicGravity for calibrate(), as the classic command has always taken
  // it, and kStandardGravity for calibrateAuto and the streamed fit.
  double gravity = 0.0;
};

struct Result {
  bool success = false;
  Calibration calibration;  // the reported one (valid when success)
  Calibration sixRest;      // the six-rest fit it starts from
  TuningNumbers parameters;
  bool parametersChosen = false;  // chosen from the recording rather than given
  bool parametersUsed = true;     // false when no rest search took part (the stretch fit alone)
  Units units = Units::kG;        // of the recording, as given or detected
  double unitsPerG = 1.0;         // reading of 1 g in the recording's units
  double unitsZero = 0.0;         // reading of 0 g (counts of an unsigned converter)
  std::array<Orientation, 6> orientations;
  Quality quality;
  // Every still stretch found that is a rest, in recording order (those that moved too much are
  // in quality.leftOut).
  std::vector<Stretch> stretches;
  // The gyroscope's calibration, when the recording has one and it was asked for.
  bool hasGyro = false;
  GyroResult gyro;
  // calibrateAuto: the white noise density of both sensors from the still stretches.
  SessionNoise noise;
  std::vector<std::string> warnings;  // after a success: what is poor and what to do
  std::vector<std::string> problems;  // after a failure: why, one sentence each
  // After a failure: which way each tuning number must move for the search to find what it
  // missed, in the order of TuningNumbers (tolerancePct first): +1 up, -1 down, 2 both (up for
  // one orientation, down for another), 0 no matter. numbersCannotHelp: the failure is not the
  // numbers' (the layout, the units, orientations missing from the recording, no still stretch).
  std::array<int, 5> moves{};
  bool numbersCannotHelp = false;
  // After a failed calibrate(): other numbers (and units) that were checked to calibrate the
  // same recording, when there are such.
  bool hasSuggestion = false;
  TuningNumbers suggestedNumbers;
  Units suggestedUnits = Units::kG;
};

// kAuto units, the refined fit: what calibrateAuto uses unless told otherwise.
CalibrateOptions autoOptions();

// Calibrates with the given numbers, like the classic command. Throws Error for numbers that
// cannot work (checkTuningNumbers) and an outputUnits other than "", "g" or "ms2".
Result calibrate(const Recording& recording, const TuningNumbers& numbers,
                 const CalibrateOptions& options = CalibrateOptions());

// Calibrates from the still stretches alone (calibrateAuto with Method::kStretches) reading the
// recording at path ("-": standard input; gzip data too) as a stream: the samples are not kept,
// so memory does not grow with the recording's length. The noise floor and a first scale to g are
// judged on its first 2^20 samples, the units on every still stretch; calibrateAuto with
// kStretches judges a recording in memory the same way, and gives the same result. The layout is
// judged on the first 64 kB of text. info, when given, receives the recording's layout and lines
// (no samples; streamedSamples says how many were read). Throws Error as readRecording does.
Result calibrateStretchesStreaming(const std::string& path, const ReadOptions& read,
                                   const CalibrateOptions& options, Recording* info = nullptr);

// The same two calibrations for a recording handed over: its columns x, y and z are released as
// soon as the search has smoothed them (the smoothed copy the search works on then takes their
// place instead of doubling the memory), and reload reads the recording again when the samples
// are needed once more (another set of numbers to try, a failure to explain). Afterwards the
// recording keeps its layout and lines; streamedSamples then says how many samples it had.
Result calibrate(Recording& recording, const std::function<Recording()>& reload,
                 const TuningNumbers& numbers,
                 const CalibrateOptions& options = CalibrateOptions());
Result calibrateAuto(Recording& recording, const std::function<Recording()>& reload,
                     const CalibrateOptions& options = autoOptions());

// Calibrates the gyroscope of recording (its gx, gy, gz and the time base its layout, its header
// or options give) in the frame of the accelerometer's calibration `accelerometer`, made from the
// same recording: bias from the still stretches, scale and axes from the moves between them.
// Not a success, with the reason in problems, when the recording holds no gyro, the accelerometer
// did not calibrate or nothing gives the seconds of the samples.
GyroResult calibrateGyro(const Recording& recording, const Result& accelerometer,
                         const GyroOptions& options = GyroOptions());

// The white noise density of both sensors of a calibration made from recording, from its still
// stretches (their ends trimmed), calibrated and in SI units: the accelerometer's in m/s^2, the
// gyroscope's in rad/s where its unit is known. The rate: rateHz, else the gyroscope's time base,
// else the header's; without one, or without the samples, present is false and note says why.
SessionNoise sessionNoise(const Recording& recording, const Result& result, double rateHz = 0.0);

// Calibrates with numbers chosen from the recording (its noise floor, rest lengths and levels),
// trying other margins when the first choice fails, and refines the six-rest fit with every still
// stretch. When the recording holds no six valid rests, calibrates from its still stretches alone
// (options.method chooses otherwise). When no fit reads the stretches better than the raw
// readings, reports the identity. options.units defaults to kAuto here.
Result calibrateAuto(const Recording& recording, const CalibrateOptions& options = autoOptions());

}  // namespace tiltfit

#endif
