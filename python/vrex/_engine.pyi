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

# The conversion's stages, for a cluster (vrex.dask.convert_large_file).
def table_start(
    data: object, chunk_size: int, sample_rows: int
) -> tuple[bytes, bytes, int, int, int, bool]: ...
def table_end() -> bytes: ...
def summarize_stretch(data: object, begin: int, end: int) -> bytes: ...
def join_stretches(
    rest_byte: int,
    rest_line: int,
    first_row: int,
    input_size: int,
    stretch_size: int,
    chunk_size: int,
    summaries: list[bytes],
) -> tuple[list[tuple[int, int, int, int, int, int]], int]: ...
def convert_part(
    data: object,
    fd: int,
    types: bytes,
    chunk_size: int,
    job: tuple[int, int, int, int, int, int],
    end_row: int,
) -> None: ...
