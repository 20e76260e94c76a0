# Type stubs of the pedscan module (a compiled extension).
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
    @property
    def threads(self) -> int: ...
    @property
    def types(self) -> list[str]: ...

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
