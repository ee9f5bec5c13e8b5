from typing import Dict, List, Optional, Sequence, Tuple, Union

import numpy as np
from zumbrel import NES

def snapshot(nes: NES) -> bytes: ...
def restore(nes: NES, data: Union[bytes, bytearray, memoryview]) -> None: ...
def console_parts(nes: NES) -> Tuple[Optional[bytes], str, int, str]: ...
def boards() -> List[Tuple[int, str]]:
    """The boards the console implements, as (iNES mapper number, name) pairs in number order."""
def save_folder_name(path: str) -> str:
    """The folder name under ~/.config/Quorvali/ that the console files a cartridge's saves under."""

class StepPool:
    def __init__(self, threads: int = 1) -> None: ...
    @property
    def threads(self) -> int: ...
    def step(self, consoles: Sequence[NES], buttons: np.ndarray, frames: int = 1,
             pictures: Optional[np.ndarray] = None, ram: Optional[np.ndarray] = None,
             max_pool: bool = False, allow_unsupported_board: bool = False) -> None: ...

PICTURE_SHAPES: Dict[Tuple[str, bool], Tuple[int, ...]]
"""The shape of one batch picture by (colour "rgb" or "gray", half size)."""
RAM_SIZE: int
"""The bytes of CPU RAM ($0000-$07FF) a batch copies out per console."""
