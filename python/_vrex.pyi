from typing import Final

__all__: Final[list[str]]

def csv_to_vrex(csv_bytes: bytes, chunk_size: int = 10000, sample_rows: int = 1000) -> bytes:
    """Convert CSV bytes to VREX bytes.

    Args:
        csv_bytes: Raw UTF-8 encoded CSV data (with header row).
        chunk_size: Number of rows per VREX table slice (default 10 000).
        sample_rows: Number of rows to sample for column type inference (default 1 000).

    Returns:
        VREX file contents as bytes.

    Raises:
        ValueError: If the CSV cannot be parsed or the VREX cannot be written.
    """
