"""Convert CSV bytes into a complete VREX binary table file, and read such files back."""

from _vrex import csv_to_vrex

from vrex._convert import convert, convert_file
from vrex._table import Column, Table, read

__all__ = ["Column", "Table", "convert", "convert_file", "csv_to_vrex", "read"]
