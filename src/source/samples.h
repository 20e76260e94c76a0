// The source of the frames that detection works on.
//
// Samples delivers frames one at a time by number from one of five kinds of
// source: the images of a directory selected by file masks, a single image,
// regions of interest of a single image, a video file or the camera. With
// each frame it gives a frame name (which names the result files) and, for
// regions, their position in the image and whether results are appended.
//
// A new Samples has no source and delivers no frame; ReadInput opens one.
// It owns its frame images, its copy of the regions and its capture.
// A Samples belongs to one thread at a time; two Samples share nothing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

namespace pedscan {

// A region of interest of the input image, made from a positional
// "x,y,w,h" value. The field order is the record's historical layout
// (height before width, like BlockRect), although the text form gives the
// width first. x1 and y1 are not set from the command line and hold -1.
struct ROI {
  int32_t x = 0;
  int32_t y = 0;
  int32_t height = 0;
  int32_t width = 0;
  int32_t x1 = -1;
  int32_t y1 = -1;
};

// What a source reads: the path and its kind (at most one kind set), the
// masks of a directory, the regions of a single image and the frame range
// of a directory or a video (last -1: to the end).
struct SourceOptions {
  std::string input;
  std::string filemask = "*.png,*.jpg";
  bool isDirectory = false;
  bool isImage = false;
  bool isVideo = false;
  bool camera = false;
  std::vector<ROI> rois;
  int32_t videoFirst = 0;
  int32_t videoLast = -1;
  int32_t videoStep = 1;
};

// Rejects the first region that does not lie inside `image` with the fatal
// report "invalid ROI: x,y,w,h - outside of image limits (image size: WxH)".
// A region that touches the right or bottom border exactly is accepted.
void CheckRegions(const std::vector<ROI>& rois, const cv::Mat& image);

// What an input path holds, as the command line and the Python module
// decide it: a directory (no probing), an image that decodes (given in
// *image when asked), or a video a back end reads a frame from. Anything
// else throws the plain message naming it: "can't load image '%s'\n" for an
// existing file in an image format or with an image extension (never probed
// as a video: part of a truncated image could decode as one frame),
// "input '%s' does not exist\n" for a missing path, and
// "can't read input '%s' as an image or a video\n" otherwise.
enum class InputKind { kDirectory, kImage, kVideo };
InputKind ClassifyInput(const std::string& input, cv::Mat* image = nullptr);

// The video back ends that read files, in the order they are asked:
// FFMPEG, GStreamer, the built-in MJPEG reader (those this build has). The
// library's default order would also try its camera back ends, which
// search the USB bus for a device of that name.
std::vector<cv::VideoCaptureAPIs> VideoFileBackends();

// Opens `path` as a video file with the first of VideoFileBackends that
// opens it. Returns a closed capture when none does.
cv::VideoCapture OpenVideoFile(const std::string& path);

// True when one of VideoFileBackends opens `path` and reads a frame from it.
// The command line classifies its input with it, so a source that reads
// videos with these back ends sees the same files as videos.
bool ReadsAsVideo(const std::string& path);

class Samples {
 public:
  Samples() = default;
  Samples(const Samples&) = delete;
  Samples& operator=(const Samples&) = delete;

  // Opens the source the options' kind flags name (directory, image, video,
  // camera, tested in that order) and counts its frames. *roiMode becomes
  // true only when the options hold regions for a single image.
  // A video's frames are counted by reading them (up to its last frame
  // when one is given), whatever count its file announces.
  // Throws the fatal report "unable to read input video" (also for a video
  // of which no frame can be read),
  // "unable to read any video feed", "no input has been set" or the
  // directory's "no images found!"; the plain "can't load image '%s'\n" when
  // the image of ROI mode cannot be loaded, and the ROI check's fatal report
  // when a region does not lie inside that image.
  // With the camera prints "(<width>x<height>)\n" of the camera's frames.
  void ReadInput(const SourceOptions& options, bool* roiMode);

  // Frame `index` (0-based) of the source, or null after the last frame (and
  // for a video or camera frame that cannot be read). A video is read
  // forward from frame to frame, so indices are best asked for in order;
  // an earlier one reopens it. The image belongs to
  // this object and stays valid until the next call. Sets *offset to x 0,
  // y 0 and -1 elsewhere, then, for a region, x and y to its position;
  // *appendText is true for every region after the first and false for
  // every other frame. An image of a list is announced by printing its path
  // and "\n"; one that cannot be loaded throws the plain
  // "can't load image '%s'\n" (status 2).
  // With `announcement`, the announcement is appended there instead of
  // printed, for a caller that reads frames ahead and prints in order.
  const cv::Mat* GetFrame(int index, std::string* frameName, bool* appendText, ROI* offset,
                          std::string* announcement = nullptr);

  // The regular files of `directory` whose names match the masks of
  // `filemask` (see SplitMasks), case-insensitively: each mask's paths
  // ("<directory>/<name>") sorted in byte order without duplicates, the
  // masks' lists concatenated in mask order. Throws the fatal report
  // "no images found!" when the result is empty, including when the
  // directory does not exist.
  static std::vector<std::string> ReadDirectory(const std::string& directory,
                                                const std::string& filemask);

  // Cuts a comma-separated mask list at its '*' characters: each mask runs
  // from a '*' to just before the character preceding the next '*' (the
  // separator), the last to the end of the text; text before the first '*'
  // is dropped, so "img_*.png" selects like "*.png".
  static std::vector<std::string> SplitMasks(const std::string& filemask);

  // True when `name` matches the wildcard `mask` ('*' any run of characters,
  // '?' any one character), ignoring ASCII case.
  static bool MatchMask(const std::string& mask, const std::string& name);

  // Closes a video or camera capture; harmless for other sources and when
  // called again.
  void ReleaseCapture();

  int NumberOfFrames() const { return nFrames_; }
  bool isVideo() const { return isVideo_; }
  bool isCamera() const { return isCamera_; }
  bool isImageList() const { return isImageList_; }
  bool isROI() const { return isROI_; }
  const std::vector<std::string>& files() const { return files_; }

 private:
  // The frames first, first + step, ... that index into files_ (first and
  // step already normalised).
  int CountListFrames() const;
  void ReadVideo(const SourceOptions& options);
  void ReadCamera();

  const cv::Mat* GetListFrame(int index, std::string* frameName, std::string* announcement);
  const cv::Mat* GetRoiFrame(int index, std::string* frameName, bool* appendText, ROI* offset);
  const cv::Mat* GetVideoFrame(int index, std::string* frameName);
  const cv::Mat* GetCameraFrame(int index, std::string* frameName);

  std::vector<std::string> files_;
  std::string name_;
  cv::Mat image_;
  cv::Mat roiImage_;
  cv::Mat halfImage_;
  cv::VideoCapture capture_;
  // The back end that reads the video, and the number of the frame its
  // capture delivers next.
  cv::VideoCaptureAPIs api_ = cv::CAP_ANY;
  int position_ = 0;
  bool isVideo_ = false;
  bool isCamera_ = false;
  bool isImageList_ = false;
  bool isROI_ = false;
  int nFrames_ = 0;
  std::vector<ROI> rois_;
  int first_ = 0;
  int last_ = -1;
  int step_ = 1;
};

}  // namespace pedscan
