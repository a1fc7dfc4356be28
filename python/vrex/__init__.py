"""Convert CSV bytes into a complete VREX binary table file, and read such files back."""

from _vrex import csv_to_vrex
from vrex._convert import convert, convert_file
from vrex._table import Column, Table, ValueType, read, read_file

__all__ = [
    "Column",
    "Table",
    "ValueType",
    "convert",
    "convert_file",
    "csv_to_vrex",
    "read",
    "read_file",
]
