from collections.abc import Callable

DEFAULT_PART_SIZE: int

def convert(
    data: object,
    chunk_size: int,
    sample_rows: int,
    threads: int,
    part_size: int,
    progress: Callable[[int, int], object] | None,
) -> bytes: ...
def convert_to_file(
    data: object,
    fd: int,
    chunk_size: int,
    sample_rows: int,
    threads: int,
    part_size: int,
    progress: Callable[[int, int], object] | None,
) -> None: ...
