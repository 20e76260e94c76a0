// The source of the frames that detection works on.
//
// Samples delivers frames one at a time by number from one of five kinds of
// source: the images of a directory selected by file masks, a single image,
// regions of interest of a single image, a video file or the camera. With
// each frame it gives a frame name (which names the result files) and, for
// regions, their position in the image and whether results are appended.
//
// A new Samples has no source and delivers no frame; ReadInput opens one.
// It owns its frame images and its capture; the ROI list belongs to the
// parameter record it was read from, which must outlive it.
#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include "app/input_parameters.h"

namespace pedscan {

class Samples {
 public:
  Samples() = default;
  Samples(const Samples&) = delete;
  Samples& operator=(const Samples&) = delete;

  // Opens the source the record's kind flags name (directory, image, video,
  // camera, tested in that order) and counts its frames. *roiMode becomes
  // true only when the record holds regions for a single image.
  // A video's frames are counted by reading them (up to its last frame
  // when one is given), whatever count its file announces.
  // Throws the fatal report "unable to read input video" (also for a video
  // of which no frame can be read),
  // "unable to read any video feed", "no input has been set" or the
  // directory's "no images found!"; the plain "can't load image '%s'\n" when
  // the image of ROI mode cannot be loaded, and the ROI check's fatal report
  // when a region does not lie inside that image.
  // With the camera prints "(<width>x<height>)\n" of the camera's frames.
  void ReadInput(const InputParameters& parameters, bool* roiMode);

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
  const cv::Mat* GetFrame(int index, std::string* frameName, bool* appendText, ROI* offset);

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
  void ReadVideo(const InputParameters& parameters);
  void ReadCamera();

  const cv::Mat* GetListFrame(int index, std::string* frameName);
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
  const std::vector<ROI>* rois_ = nullptr;
  int first_ = 0;
  int last_ = -1;
  int step_ = 1;
};

}  // namespace pedscan
