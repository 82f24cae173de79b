"""What the training side, the conversion and the inference layer share:
PyTorch's private names, attribute forwarding, how messages name layers,
re-initialising a dendrite's copy of its main layer. Not part of the API."""
