# Type stubs of the pedscan package (the compiled extension pedscan._pedscan,
# re-exported; pedscan.batch is plain Python).
import os
from typing import Callable, Iterable, Iterator, Optional, Union

import numpy as np
import numpy.typing as npt

class Error(Exception):
    """A failure of the library: .message is the text the command line
    prints, .status the status it would exit with."""
    message: str
    status: int

class DetectionResult:
    """The detections of one frame, every object type's boxes in type order."""
    boxes: npt.NDArray[np.int32]     # (N, 4): x, y, w, h
    scores: npt.NDArray[np.float64]  # (N,)
    types: list[str]                 # N
    windows_scanned: int
    def __len__(self) -> int: ...

class DetectionIterator(Iterator[DetectionResult]):
    def __iter__(self) -> DetectionIterator: ...
    def __next__(self) -> DetectionResult: ...

class Detector:
    """Detects the object types of a detection configuration."""
    def __init__(self, config: str, threads: int = 0) -> None: ...
    def detect(self, image: Union[npt.NDArray[np.uint8], str, os.PathLike[str]],
               suppress: bool = False,
               regions: Optional[Iterable[tuple[int, int, int, int]]] = None,
               progress: Optional[Callable[[str], object]] = None) -> DetectionResult: ...
    def detect_many(self, frames: Iterable[npt.NDArray[np.uint8]], suppress: bool = False,
                    threads: Optional[int] = None) -> DetectionIterator: ...
    def result_files(self, output: str, name: str, draw: bool = False) -> list[str]: ...
    def write_results(self, result: DetectionResult, output: str, name: str,
                      image: Optional[npt.NDArray[np.uint8]] = None, draw: bool = False,
                      ellipse: bool = False) -> list[str]: ...
    @property
    def threads(self) -> int: ...
    @property
    def types(self) -> list[str]: ...
    stage_suppression: bool
    overlap: float
    box_placement: bool
    contained: float
    soft: float
    padding: int

class ModelInfo:
    """What a model file holds."""
    id: str
    window: tuple[int, int]
    object: tuple[int, int, int, int]
    blocks: list[dict[str, object]]
    factors: int
    classifier: str
    features: int

def load_model(path: str) -> ModelInfo: ...

__version__: str

def read_image(path: str) -> npt.NDArray[np.uint8]: ...

# ---------------------------------------------------------------------------
# The frames of an input as the command line names and reads them
# (python/source.cpp).

def input_frames(input: str, filemask: str = "*.png,*.jpg", first: int = 0, last: int = -1,
                 step: int = 1) -> tuple[str, list[tuple[str, Union[str, int]]]]: ...
def read_video_frames(path: str, first: int, count: int,
                      step: int = 1) -> list[npt.NDArray[np.uint8]]: ...

# ---------------------------------------------------------------------------
# Training, feature extraction and evaluation (python/training.cpp,
# python/evaluation.cpp).
import os
from typing import Mapping, Sequence, Union

_Path = Union[str, bytes, os.PathLike[str]]
_Boxes = Union[npt.ArrayLike, Sequence[Sequence[float]]]

def train(config: _Path, positives: _Path, negatives: _Path, model: _Path = "learnedModel",
          iterations: int = 4, samples_per_image: int = 1, samples_per_iteration: int = 1000,
          threshold: float = 0.9, shift: int = 16, blocks_per_chunk: int = 330,
          raw_features: bool = False, factors_per_block: int = 5,
          cross_validation: bool = False, folds: int = 20, seed: int = 0,
          filemask: str = "*.png,*.jpg", threads: int = 0,
          progress: Optional[Callable[[str], object]] = None) -> list[str]:
    """Trains a model like pedscan -t; returns the model files written."""
    ...

def extract_features(config: _Path, input: _Path, samples_per_image: int = 1, seed: int = 0,
                     filemask: str = "*.png,*.jpg", threads: int = 0,
                     progress: Optional[Callable[[str], object]] = None
                     ) -> tuple[list[npt.NDArray[np.float32]], list[npt.NDArray[np.float32]]]:
    """Per image, the (windows, features) and (windows, 4) arrays of pedscan -u."""
    ...

class Curve:
    """One entry per distinct score, descending, after the no-detection entry."""
    threshold: npt.NDArray[np.float64]
    precision: npt.NDArray[np.float64]
    recall: npt.NDArray[np.float64]
    fppi: npt.NDArray[np.float64]
    miss_rate: npt.NDArray[np.float64]
    def __len__(self) -> int: ...

class Evaluation:
    """What evaluate finds; the at-threshold fields are None without a threshold."""
    average_precision: float
    log_average_miss_rate: float
    frames: int
    positives: int
    curve: Curve
    threshold: Optional[float]
    precision: Optional[float]
    recall: Optional[float]
    true_positives: Optional[int]
    false_positives: Optional[int]

def evaluate(truth: Union[_Path, Mapping[str, _Boxes]],
             detections: Union[_Path, Mapping[str, _Boxes]], iou: float = 0.5,
             threshold: Optional[float] = None) -> Evaluation:
    """Scores detections (N x 5: x, y, w, h, score) against ground truth (N x 4)."""
    ...
