"""The pieces of ``vakra.torch.dcp``: the checkpoint's metadata file and the
byte ranges a load reads."""
