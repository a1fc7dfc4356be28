"""Convert CSV bytes into a complete VREX binary table file, and read such files back."""

from _vrex import csv_to_vrex
from vrex._table import Column, Table, read

__all__ = ["Column", "Table", "csv_to_vrex", "read"]
